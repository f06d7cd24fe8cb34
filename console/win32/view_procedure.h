// The window procedure of a window class whose every window has a view object: `T::Attach`
// gives it when the window is made (WM_NCCREATE), every message after goes to its Message, and
// `T::Detach` lets it go when the window is gone (WM_NCDESTROY).
#pragma once

#include "console/win32/win.h"

namespace zantor::console::win32 {

template <class T>
LRESULT CALLBACK ViewProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        ::SetWindowLongPtrW(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(
                                T::Attach(window, *reinterpret_cast<CREATESTRUCTW*>(lParam))));
    T* view = reinterpret_cast<T*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!view) return ::DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        T::Detach(view);
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    return view->Message(message, wParam, lParam);
}

}  // namespace zantor::console::win32
