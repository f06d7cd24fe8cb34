#include "console/win32/log_view.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "console/text_lines.h"
#include "console/win32/text.h"
#include "console/win32/view_procedure.h"

namespace zantor::console::win32 {

namespace {

bool HasGlyph(HDC dc, wchar_t letter) {
    WORD index = 0;
    return ::GetGlyphIndicesW(dc, &letter, 1, &index, GGI_MARK_NONEXISTING_GLYPHS) != GDI_ERROR &&
           index != 0xFFFF;
}

// The log's font: a fixed pitch, in which columns line up, that draws the box lines of code page
// 437, 12 pixels high. The window was drawn for "Terminal" in the OEM character set; where that
// font cannot draw the lines (or is not there, as under Wine) the first fixed font the system has
// that can is taken.
HFONT LogFont(HWND window, std::wstring& face) {
    static const wchar_t* const kFaces[] = {L"Terminal",         L"Consolas",
                                            L"Lucida Console",   L"Courier New",
                                            L"DejaVu Sans Mono", L"Liberation Mono"};
    HDC dc = ::GetDC(window);
    HFONT chosen = nullptr;
    for (const wchar_t* name : kFaces) {
        const BYTE charset = name == kFaces[0] ? OEM_CHARSET : DEFAULT_CHARSET;
        HFONT font =
            ::CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, name);
        HGDIOBJ old = ::SelectObject(dc, font);
        wchar_t got[LF_FACESIZE] = {};
        ::GetTextFaceW(dc, LF_FACESIZE, got);
        TEXTMETRICW metrics{};
        ::GetTextMetricsW(dc, &metrics);
        // TMPF_FIXED_PITCH set means a variable pitch.
        const bool fits = ::lstrcmpiW(got, name) == 0 &&
                          !(metrics.tmPitchAndFamily & TMPF_FIXED_PITCH) &&
                          HasGlyph(dc, L'\u2500') && HasGlyph(dc, L'\u2554');
        ::SelectObject(dc, old);
        if (fits) {
            chosen = font;
            face = got;
            break;
        }
        ::DeleteObject(font);
    }
    if (!chosen) {
        chosen = ::CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                               FIXED_PITCH | FF_MODERN, nullptr);
        HGDIOBJ old = ::SelectObject(dc, chosen);
        wchar_t got[LF_FACESIZE] = {};
        ::GetTextFaceW(dc, LF_FACESIZE, got);
        face = got;
        ::SelectObject(dc, old);
    }
    ::ReleaseDC(window, dc);
    return chosen;
}

bool Held(int key) {
    return ::GetKeyState(key) < 0;
}

}  // namespace

void LogView::Register(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = ViewProcedure<LogView>;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_IBEAM));
    windowClass.lpszClassName = kLogViewClass;
    ::RegisterClassExW(&windowClass);
}

LogView* LogView::Of(HWND window) {
    return reinterpret_cast<LogView*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

LogView::LogView(HWND window) : hwnd_(window) {
    font_ = LogFont(window, face_);
    HDC dc = ::GetDC(window);
    HGDIOBJ old = ::SelectObject(dc, font_);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    SIZE zero{};
    ::GetTextExtentPoint32W(dc, L"0", 1, &zero);
    ::SelectObject(dc, old);
    ::ReleaseDC(window, dc);
    lineHeight_ = std::max(1, static_cast<int>(metrics.tmHeight + metrics.tmExternalLeading));
    charWidth_ = std::max(1, static_cast<int>(zero.cx));
}

LogView::~LogView() {
    if (font_) ::DeleteObject(font_);
}

LogView* LogView::Attach(HWND window, const CREATESTRUCTW&) {
    return new LogView(window);
}

void LogView::Detach(LogView* view) {
    delete view;
}

LRESULT LogView::Message(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            Paint();
            return 0;
        case WM_ERASEBKGND:
            return 1;  // the paint fills the background itself
        case WM_SIZE:
            UpdateScrollBars();
            ScrollTo(first_);
            ScrollHorizontallyTo(scrolledX_);
            ::InvalidateRect(hwnd_, nullptr, FALSE);
            return 0;
        case WM_GETDLGCODE:
            // The arrows and letters are the view's; Tab, Enter and Escape go to the window.
            return DLGC_WANTARROWS | DLGC_WANTCHARS;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            ::InvalidateRect(hwnd_, nullptr, FALSE);
            return 0;
        case WM_VSCROLL:
            VerticalScroll(LOWORD(wParam));
            return 0;
        case WM_HSCROLL:
            HorizontalScroll(LOWORD(wParam));
            return 0;
        case WM_MOUSEWHEEL: {
            UINT perNotch = 3;
            ::SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &perNotch, 0);
            const int notches = GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA;
            ScrollBy(-static_cast<std::ptrdiff_t>(notches) * static_cast<std::ptrdiff_t>(perNotch));
            return 0;
        }
        case WM_KEYDOWN:
            Key(wParam);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            ::SetFocus(hwnd_);
            if (LineCount() == 0) return 0;
            selection_.Press(NearestLine(static_cast<short>(HIWORD(lParam))), wParam & MK_SHIFT);
            ::SetCapture(hwnd_);
            ::InvalidateRect(hwnd_, nullptr, FALSE);
            return 0;
        case WM_MOUSEMOVE: {
            if (!selection_.Dragging() || !(wParam & MK_LBUTTON)) return 0;
            const int y = static_cast<short>(HIWORD(lParam));
            // Past an edge the text scrolls a line for every move, so a drag reaches lines out
            // of sight.
            if (y < 0)
                ScrollBy(-1);
            else if (y >= ClientHeight())
                ScrollBy(1);
            selection_.DragTo(NearestLine(y));
            ::InvalidateRect(hwnd_, nullptr, FALSE);
            return 0;
        }
        case WM_LBUTTONUP:
            selection_.Release();
            if (::GetCapture() == hwnd_) ::ReleaseCapture();
            return 0;
        case WM_CAPTURECHANGED:
            selection_.Release();
            return 0;
        case WM_RENDERFORMAT:
            if (wParam == CF_UNICODETEXT) RenderClipboard();
            return 0;
        case WM_RENDERALLFORMATS:
            // The program ends while the copy is still on the clipboard: it is handed over now.
            if (::OpenClipboard(hwnd_)) {
                if (::GetClipboardOwner() == hwnd_) RenderClipboard();
                ::CloseClipboard();
            }
            return 0;
        case WM_DESTROYCLIPBOARD:
            copied_.clear();
            copied_.shrink_to_fit();
            return 0;
        default:
            return ::DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}

void LogView::SetLines(const TTextLines* lines) {
    const bool same = selection_.SetLines(lines);
    if (!same) {
        first_ = 0;
        scrolledX_ = 0;
    }
    UpdateScrollBars();
    ScrollTo(first_);
    ::InvalidateRect(hwnd_, nullptr, FALSE);
}

int LogView::ClientHeight() const {
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    return client.bottom;
}

int LogView::ClientWidth() const {
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    return client.right;
}

std::size_t LogView::PageLines() const {
    return static_cast<std::size_t>(std::max(1, (ClientHeight() - kLogTop) / lineHeight_));
}

std::optional<std::size_t> LogView::LineAt(POINT point) const {
    if (point.y < kLogTop || point.y >= ClientHeight()) return std::nullopt;
    const std::size_t line = first_ + static_cast<std::size_t>((point.y - kLogTop) / lineHeight_);
    if (line >= LineCount()) return std::nullopt;
    return line;
}

RECT LogView::LineRect(std::size_t line) const {
    if (line < first_ || line >= LineCount()) return {};
    const std::size_t row = line - first_;
    if (row > static_cast<std::size_t>(ClientHeight() / lineHeight_)) return {};
    const int top = kLogTop + static_cast<int>(row) * lineHeight_;
    if (top >= ClientHeight()) return {};
    return {0, top, ClientWidth(), top + lineHeight_};
}

std::size_t LogView::NearestLine(int y) const {
    const int inside = std::clamp(y, kLogTop, std::max(kLogTop, ClientHeight() - 1));
    const std::size_t line = first_ + static_cast<std::size_t>((inside - kLogTop) / lineHeight_);
    return std::min(line, LineCount() - 1);
}

int LogView::HorizontalMaximum() const {
    const std::uint64_t width = selection_.TextWidth(charWidth_);
    const auto seen = static_cast<std::uint64_t>(std::max(0, ClientWidth()));
    return ScrollUnits(width > seen ? width - seen : 0);
}

void LogView::UpdateScrollBars() {
    const std::size_t count = LineCount(), page = PageLines();
    SCROLLINFO vertical{};
    vertical.cbSize = sizeof vertical;
    // Always there, as a text field's: disabled while every line is in sight.
    vertical.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    vertical.nMax = ScrollUnits(count > 0 ? count - 1 : 0);
    vertical.nPage = static_cast<UINT>(ScrollUnits(page));
    vertical.nPos = ScrollUnits(first_);
    ::SetScrollInfo(hwnd_, SB_VERT, &vertical, TRUE);

    const std::uint64_t width = selection_.TextWidth(charWidth_);
    SCROLLINFO horizontal{};
    horizontal.cbSize = sizeof horizontal;
    horizontal.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    horizontal.nMax = ScrollUnits(width > 0 ? width - 1 : 0);
    horizontal.nPage = static_cast<UINT>(std::max(0, ClientWidth()));
    horizontal.nPos = scrolledX_;
    ::SetScrollInfo(hwnd_, SB_HORZ, &horizontal, TRUE);
}

void LogView::ScrollTo(std::size_t first) {
    const std::size_t count = LineCount(), page = PageLines();
    first = std::min(first, count > page ? count - page : 0);
    if (first == first_) return;
    first_ = first;
    ::SetScrollPos(hwnd_, SB_VERT, ScrollUnits(first_), TRUE);
    ::InvalidateRect(hwnd_, nullptr, FALSE);
}

void LogView::ScrollBy(std::ptrdiff_t lines) {
    if (lines < 0)
        ScrollTo(first_ - std::min(first_, static_cast<std::size_t>(-lines)));
    else
        ScrollTo(first_ + static_cast<std::size_t>(lines));
}

void LogView::ScrollHorizontallyTo(int x) {
    x = std::clamp(x, 0, HorizontalMaximum());
    if (x == scrolledX_) return;
    scrolledX_ = x;
    ::SetScrollPos(hwnd_, SB_HORZ, scrolledX_, TRUE);
    ::InvalidateRect(hwnd_, nullptr, FALSE);
}

void LogView::VerticalScroll(WORD action) {
    const auto page = static_cast<std::ptrdiff_t>(PageLines());
    switch (action) {
        case SB_LINEUP:
            return ScrollBy(-1);
        case SB_LINEDOWN:
            return ScrollBy(1);
        case SB_PAGEUP:
            return ScrollBy(-page);
        case SB_PAGEDOWN:
            return ScrollBy(page);
        case SB_TOP:
            return ScrollTo(0);
        case SB_BOTTOM:
            return ScrollTo(LineCount());
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            // The 32-bit position: the message's own carries 16 bits only.
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_TRACKPOS;
            ::GetScrollInfo(hwnd_, SB_VERT, &info);
            return ScrollTo(static_cast<std::size_t>(std::max(0, info.nTrackPos)));
        }
        default:
            return;
    }
}

void LogView::HorizontalScroll(WORD action) {
    switch (action) {
        case SB_LINELEFT:
            return ScrollHorizontallyTo(scrolledX_ - charWidth_);
        case SB_LINERIGHT:
            return ScrollHorizontallyTo(scrolledX_ + charWidth_);
        case SB_PAGELEFT:
            return ScrollHorizontallyTo(scrolledX_ - ClientWidth());
        case SB_PAGERIGHT:
            return ScrollHorizontallyTo(scrolledX_ + ClientWidth());
        case SB_LEFT:
            return ScrollHorizontallyTo(0);
        case SB_RIGHT:
            return ScrollHorizontallyTo(HorizontalMaximum());
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_TRACKPOS;
            ::GetScrollInfo(hwnd_, SB_HORZ, &info);
            return ScrollHorizontallyTo(info.nTrackPos);
        }
        default:
            return;
    }
}

void LogView::Key(WPARAM key) {
    const bool control = Held(VK_CONTROL);
    const auto page = static_cast<std::ptrdiff_t>(PageLines());
    switch (key) {
        case VK_UP:
            return ScrollBy(-1);
        case VK_DOWN:
            return ScrollBy(1);
        case VK_PRIOR:
            return ScrollBy(-page);
        case VK_NEXT:
            return ScrollBy(page);
        case VK_LEFT:
            return ScrollHorizontallyTo(scrolledX_ - charWidth_);
        case VK_RIGHT:
            return ScrollHorizontallyTo(scrolledX_ + charWidth_);
        // Home and End go to the start and end of the lines, with Ctrl to those of the text.
        case VK_HOME:
            return control ? ScrollTo(0) : ScrollHorizontallyTo(0);
        case VK_END:
            return control ? ScrollTo(LineCount()) : ScrollHorizontallyTo(HorizontalMaximum());
        case 'A':
            if (control) SelectAll();
            return;
        case 'C':
        case VK_INSERT:
            if (control) CopySelection();
            return;
        default:
            return;
    }
}

void LogView::Select(std::size_t anchor, std::size_t cursor) {
    selection_.Select(anchor, cursor);
    ::InvalidateRect(hwnd_, nullptr, FALSE);
}

void LogView::SelectAll() {
    Select(0, LineCount());
}

void LogView::CopySelection() {
    if (!Selected()) return;
    TLineSelection::Copy copy = selection_.CopyText("\r\n", copyLimit_);
    if (!::OpenClipboard(hwnd_)) {
        if (notice_)
            notice_("Nothing was copied: another program holds the clipboard (error " +
                    std::to_string(::GetLastError()) + ").");
        return;
    }
    ::EmptyClipboard();
    copied_ = std::move(copy.text);
    // Handed over when someone pastes it (WM_RENDERFORMAT).
    ::SetClipboardData(CF_UNICODETEXT, nullptr);
    ::CloseClipboard();
    if (!copy.notice.empty() && notice_) notice_(copy.notice);
}

void LogView::RenderClipboard() {
    const std::wstring text = Utf8Wide(copied_);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    if (!memory) return;
    if (void* to = ::GlobalLock(memory)) {
        std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(to));
        ::GlobalUnlock(memory);
        if (::SetClipboardData(CF_UNICODETEXT, memory)) return;
    }
    ::GlobalFree(memory);
}

void LogView::Paint() {
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(hwnd_, &paint);
    const RECT area = paint.rcPaint;
    ::FillRect(dc, &area, ::GetSysColorBrush(COLOR_WINDOW));
    const std::size_t first = first_;
    if (first < LineCount()) {
        HGDIOBJ old = ::SelectObject(dc, font_);
        ::SetBkMode(dc, TRANSPARENT);
        // Only the columns in sight are converted: a line may be megabytes long.
        const int column = std::max(0, scrolledX_ - kLogMargin) / charWidth_;
        const auto columns = static_cast<std::size_t>(ClientWidth() / charWidth_ + 2);
        const int x = kLogMargin + column * charWidth_ - scrolledX_;
        const int top = std::max(0, static_cast<int>(area.top - kLogTop) / lineHeight_);
        const int bottom = std::max(0, static_cast<int>(area.bottom - kLogTop) / lineHeight_);
        const TTextLines& lines = *selection_.Lines();
        // Each letter in its cell of the fixed pitch, also one the font lacks and another font
        // draws in its place.
        std::vector<INT> advances(columns, charWidth_);
        auto line = lines.At(first + static_cast<std::size_t>(top));
        for (int row = top; row <= bottom && line != lines.end(); ++row, ++line) {
            const std::size_t index = first + static_cast<std::size_t>(row);
            const int y = kLogTop + row * lineHeight_;
            const bool selected = selection_.IsSelected(index);
            if (selected) {
                const RECT band{0, y, ClientWidth(), y + lineHeight_};
                ::FillRect(dc, &band, ::GetSysColorBrush(COLOR_HIGHLIGHT));
            }
            const std::string_view bytes = *line;
            if (static_cast<std::size_t>(column) >= bytes.size()) continue;
            const std::wstring drawn =
                OemWide(bytes.substr(static_cast<std::size_t>(column), columns));
            ::SetTextColor(dc, ::GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
            ::ExtTextOutW(dc, x, y, 0, nullptr, drawn.c_str(), static_cast<UINT>(drawn.size()),
                          advances.data());
        }
        ::SelectObject(dc, old);
    }
    ::EndPaint(hwnd_, &paint);
}

}  // namespace zantor::console::win32
