// tools/vantor/support/ProgressObserver.h
// The observer that passes one operation's notifications into its line of a
// ProgressBoard. Made with new and handed to DiskImager::registerObserver, which owns
// and deletes it; it shares the board, so the board outlives it. Called on the worker
// thread; the board does its own locking.
#pragma once
#include <memory>

#include <libVantor/IDiskImagingObserver.h>

#include "ProgressBoard.h"

namespace vantor::cli {

class ProgressObserver : public IDiskImagingObserver {
 public:
  ProgressObserver(std::shared_ptr<ProgressBoard> board, std::size_t line) : board(std::move(board)), line(line) {}

  void started() override { board->started(line); }
  void progressUpdate(unsigned char percent) override { board->progress(line, percent); }
  void abortedByUser() override { board->finished(line, ProgressBoard::Status::Aborted, ERR_ABORTED, std::string()); }
  void finishedSuccessfully() override {
    board->finished(line, ProgressBoard::Status::Succeeded, ERR_NONE, std::string());
  }
  void finishedWithError(VantorErrorCodes code, const vrk::String& message) override {
    board->finished(line, ProgressBoard::Status::Failed, code, message.str());
  }

 private:
  std::shared_ptr<ProgressBoard> board;
  std::size_t line;
};

}  // namespace vantor::cli
