// The foundation library where its behaviour is easy to get subtly wrong: printf forms,
// UTF-8 to UTF-16, log sinks that misbehave, and unbuffered file writes.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <vrk/Files.h>
#include <vrk/Log.h>
#include <vrk/String.h>

#include "support/TempDir.h"

namespace vantor::test {
namespace {

TEST(SprintfFormat, RewritesOnlyInsideConversions) {
  EXPECT_EQ(vrk::SprintfFormat("%08I64Xh", 0x123456789ABull).str(), "123456789ABh");
  EXPECT_EQ(vrk::SprintfFormat("I64 %C: %u", 'E', 7u).str(), "I64 E: 7");  // plain "I64" stays
  EXPECT_EQ(vrk::SprintfFormat("100%% I64%%I64X").str(), "100% I64%I64X");
  EXPECT_EQ(vrk::SprintfFormat("%-5I64u|%%C", 42ull).str(), "42   |%C");
}

TEST(String, Utf16FromUtf8WithSurrogatePairsAndReplacements) {
  EXPECT_EQ(vrk::String("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").getUCS2Buffer(), u"a\u00E9\u20AC\U0001F600");
  // A stray continuation byte, an overlong '/', an encoded surrogate and a cut sequence.
  EXPECT_EQ(vrk::String("\x80x\xC0\xAFy\xED\xA0\x80z\xE2\x82").getUCS2Buffer(),
            u"\uFFFDx\uFFFD\uFFFDy\uFFFD\uFFFD\uFFFDz\uFFFD\uFFFD");
}

// A sink that logs, creates loggers and throws must neither deadlock nor lose more than
// the record it threw on; once replaced it is never called again.
TEST(Log, SinksMayLogCreateLoggersAndThrow) {
  const int before = vrk::LogFactory::getPriority();
  vrk::LogFactory::setPriority(vrk::LOG_ERROR);
  std::vector<std::string> seen;
  vrk::LogFactory::setSink([&seen](const vrk::String& logger, int, const vrk::String& text) {
    seen.push_back(logger.str() + ":" + text.str());
    if (text.str() == "nested") vrk::LogFactory::createLogger("test.inner").log(vrk::LOG_ERROR, "from the sink");
    if (text.str() == "throw") throw std::runtime_error("sink failed");
    if (text.str() == "forever") vrk::LogFactory::createLogger("test.outer").log(vrk::LOG_ERROR, "forever");
  });
  const vrk::Logger& outer = vrk::LogFactory::createLogger("test.outer");
  outer.log(vrk::LOG_ERROR, "nested");
  outer.log(vrk::LOG_ERROR, "throw");
  outer.log(vrk::LOG_ERROR, "after");
  std::thread other([&outer] { outer.log(vrk::LOG_ERROR, "other thread"); });
  other.join();
  outer.log(vrk::LOG_ERROR, "forever");  // a sink that logs every record ends, four deep
  vrk::LogFactory::setSink(nullptr);
  outer.log(vrk::LOG_ERROR, "to standard error");
  vrk::LogFactory::setPriority(before);
  EXPECT_EQ(seen, (std::vector<std::string>{"test.outer:nested", "test.inner:from the sink", "test.outer:throw",
                                            "test.outer:after", "test.outer:other thread", "test.outer:forever",
                                            "test.outer:forever", "test.outer:forever", "test.outer:forever"}));
}

TEST(OFStream, WritesWholeAndInTwoPartsWithoutBufferingThenSyncs) {
  TempDir dir;
  const std::string path = dir.file("out.bin");
  const std::string big(3 << 20, 'b');
  vrk::OFStream out(path);
  ASSERT_TRUE(out.write("head", 4, "data", 4));
  EXPECT_EQ(readFile(path), "headdata") << "nothing waits in a buffer";
  ASSERT_TRUE(out.write(nullptr, 0, "x", 1));
  ASSERT_TRUE(out.write("h", 1, big.data(), big.size()));
  EXPECT_TRUE(out.sync());
  EXPECT_TRUE(out.close());
  EXPECT_FALSE(out.write("y", 1));
  EXPECT_EQ(readFile(path), "headdataxh" + big);
}

}  // namespace
}  // namespace vantor::test
