// The least a windowed program does to show what the console shows first: a top-level window of
// the console's size with a report-style list of 256 rows, the common controls of the same
// manifest, and nothing else (no service, no logic, no menus). The console's start benchmark
// measures it beside the console: under Wine its start is the floor under any windowed program's.
#include <windows.h>

#include <commctrl.h>

#include <string>

namespace {

constexpr int kListId = 1103;  // the console's address list's id, which the benchmark asks for
constexpr int kRows = 256;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    WNDCLASSW type{};
    type.lpfnWndProc = WindowProc;
    type.hInstance = instance;
    type.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = L"ZantorBareWindow";
    ::RegisterClassW(&type);
    const HWND main =
        ::CreateWindowW(L"ZantorBareWindow", L"Bare window", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 727, 536, nullptr, nullptr, instance, nullptr);
    const HWND list =
        ::CreateWindowW(WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0, 711, 440, main,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), instance, nullptr);
    wchar_t header[] = L"Address";
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = 200;
    column.pszText = header;
    ::SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    for (int row = 0; row < kRows; ++row) {
        std::wstring text =
            L"10.1." + std::to_wstring(row / 250) + L"." + std::to_wstring(row % 250 + 1);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = text.data();
        ::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    ::ShowWindow(main, SW_SHOWNORMAL);
    ::UpdateWindow(main);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
