#include "console/cli/output.h"

namespace zantor::console::cli {

OrderedOutput::OrderedOutput(std::size_t computers, Writer write, bool progress,
                             std::size_t holdLimit)
    : write_(std::move(write)), progress_(progress), holdLimit_(holdLimit), blocks_(computers) {
    ShowProgress();
}

void OrderedOutput::Write(std::size_t computer, Stream stream, std::string_view text) {
    if (text.empty()) return;
    std::unique_lock lock(mutex_);
    if (finished_ || computer <= first_) {
        Put(stream, text);
        return;
    }
    Block& block = blocks_[computer];
    if (!block.pieces.empty() && block.pieces.back().stream == stream)
        block.pieces.back().text += text;
    else
        block.pieces.push_back({stream, std::string(text)});
    block.bytes += text.size();
    turn_.wait(lock, [&] { return first_ >= computer || block.bytes <= holdLimit_; });
}

void OrderedOutput::Done(std::size_t computer) {
    std::lock_guard lock(mutex_);
    if (computer >= blocks_.size() || blocks_[computer].done) return;
    blocks_[computer].done = true;
    ++done_;
    while (first_ < blocks_.size() && blocks_[first_].done) {
        if (++first_ == blocks_.size()) break;
        Block& next = blocks_[first_];
        for (const Piece& piece : next.pieces) Put(piece.stream, piece.text);
        next.pieces = {};
        next.bytes = 0;
    }
    turn_.notify_all();
    if (!midLine_) {
        HideProgress();
        ShowProgress();
    }
}

void OrderedOutput::Alone(const std::function<void(const Writer&)>& work) {
    std::lock_guard lock(mutex_);
    HideProgress();
    work(write_);
    midLine_ = false;
    ShowProgress();
}

void OrderedOutput::Finish() {
    std::lock_guard lock(mutex_);
    HideProgress();
    finished_ = true;
}

void OrderedOutput::Put(Stream stream, std::string_view text) {
    HideProgress();
    write_(stream, text);
    midLine_ = text.back() != '\n';
    // A line that is still being written keeps the cursor; the count comes back after it.
    if (!midLine_) ShowProgress();
}

void OrderedOutput::HideProgress() {
    if (shownWidth_ == 0) return;
    write_(Stream::kError, "\r" + std::string(shownWidth_, ' ') + "\r");
    shownWidth_ = 0;
}

void OrderedOutput::ShowProgress() {
    if (!progress_ || finished_) return;
    const std::string text =
        std::to_string(done_) + "/" + std::to_string(blocks_.size()) + " computers done";
    write_(Stream::kError, "\r" + text);
    shownWidth_ = text.size();
}

}  // namespace zantor::console::cli
