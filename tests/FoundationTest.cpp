// The foundation library where its behaviour is easy to get subtly wrong: the printf forms
// of the other system, which every message with a sector number in it uses.
#include <gtest/gtest.h>

#include <vrk/String.h>

namespace vantor::test {
namespace {

TEST(SprintfFormat, RewritesOnlyInsideConversions) {
  EXPECT_EQ(vrk::SprintfFormat("%08I64Xh", 0x123456789ABull).str(), "123456789ABh");
  EXPECT_EQ(vrk::SprintfFormat("I64 %C: %u", 'E', 7u).str(), "I64 E: 7");  // plain "I64" stays
  EXPECT_EQ(vrk::SprintfFormat("100%% I64%%I64X").str(), "100% I64%I64X");
  EXPECT_EQ(vrk::SprintfFormat("%-5I64u|%%C", 42ull).str(), "42   |%C");
}

}  // namespace
}  // namespace vantor::test
