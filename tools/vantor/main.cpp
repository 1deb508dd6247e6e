#include <libVantor/Vantor.h>

int main() { return 0; }
