#!/bin/sh
# The core sees no platform: it includes no system header of either platform, and every
# <libVantor/...> header it includes lies in the core itself, so the build's choice of
# platform folder never changes what a core header means.
root=${1:?usage: seam_guard.sh SOURCE_DIR}
status=0
if grep -rnE '#include <(unistd|fcntl|windows|winioctl|setupapi|io)\.h>|#include <(sys|linux)/' "$root/libVantor"; then
  echo "the core includes a platform header" >&2
  status=1
fi
for header in $(grep -rhoE '#include <libVantor/[A-Za-z/]+\.h>' "$root/libVantor" | sed 's/#include <libVantor\///; s/>//' | sort -u); do
  if [ ! -f "$root/libVantor/$header" ]; then
    echo "the core includes <libVantor/$header>, which only a platform folder has" >&2
    status=1
  fi
done
exit $status
