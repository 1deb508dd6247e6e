// tests/support/ThrowsVantor.h
// EXPECT_TRUE(throwsVantor([&] { ... }, ERR_X, "message")): the call throws a
// VantorException with exactly that code and message; the failure says what it got.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include <libVantor/VantorException.h>

namespace vantor::test {

template <class F>
::testing::AssertionResult throwsVantor(F&& f, VantorErrorCodes code, const std::string& message) {
  try {
    f();
  } catch (const VantorException& e) {
    if (e.getErrorCode() == code && e.getMessage().str() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << errorCodeName(e.getErrorCode()) << " \"" << e.getMessage()
                                         << "\"";
  }
  return ::testing::AssertionFailure() << "threw nothing";
}

}  // namespace vantor::test
