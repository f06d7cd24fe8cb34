#include "console/cli/output.h"

namespace zantor::console::cli {

namespace {

// The length of the well-formed UTF-8 character at the start of `text` (2 to 4 bytes), 0 when it
// starts none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8Character(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return length;
}

}  // namespace

void AppendVisible(std::string& shown, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    // Runs of bytes that are shown as they are go in whole: a log of hundreds of megabytes is
    // mostly such runs.
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t control = 1;  // bytes of a control code at i
        if (b >= 32 && b < 127) {
            ++i;
            continue;
        }
        if (b >= 0x80) {
            const std::size_t length = Utf8Character(text.substr(i));
            if (length == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
                control = 2;  // U+0080 to U+009F
            } else if (length > 0) {
                i += length;
                continue;
            } else if (b >= 0xA0) {
                ++i;
                continue;
            }
        }
        shown.append(text.data() + run, i - run);
        for (std::size_t k = i; k < i + control; ++k) {
            const auto c = static_cast<unsigned char>(text[k]);
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 15];
        }
        i += control;
        run = i;
    }
    shown.append(text.data() + run, text.size() - run);
}

std::string Visible(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    AppendVisible(shown, text);
    return shown;
}

std::size_t IncompleteUtf8Tail(std::string_view text) {
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto b = static_cast<unsigned char>(text[text.size() - back]);
        if (b >= 0x80 && b < 0xC0) continue;  // a continuation byte: the lead is further back
        if (b < 0xC2 || b > 0xF4) return 0;
        const std::size_t length = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        if (back >= length) return 0;
        // Whether the bytes there are a beginning that more bytes could complete.
        std::string completed(text.substr(text.size() - back));
        completed.append(length - back, '\x80');
        if (b == 0xE0 && back == 1) completed[1] = '\xA0';
        if (b == 0xF0 && back == 1) completed[1] = '\x90';
        return Utf8Character(completed) == length ? back : 0;
    }
    return 0;
}

void VisiblePieces::Append(std::string& shown, std::string_view piece, bool ends) {
    std::string joined;
    if (!cut_.empty()) piece = joined = cut_ + std::string(piece);
    const std::size_t tail = ends ? 0 : IncompleteUtf8Tail(piece);
    AppendVisible(shown, piece.substr(0, piece.size() - tail));
    cut_ = piece.substr(piece.size() - tail);
}

void VisiblePieces::Finish(std::string& shown) {
    AppendVisible(shown, cut_);
    cut_.clear();
}

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
