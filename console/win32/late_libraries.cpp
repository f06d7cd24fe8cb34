#include "console/win32/late_libraries.h"

#include <cderr.h>
#include <objbase.h>

namespace zantor::console::win32 {

namespace {

// A function of a library loaded on first use; null when the library or the function is
// missing. The cast goes through void (*)(), as a function of another type must.
template <class F>
F Function(const wchar_t* library, const char* name) {
    HMODULE module = ::LoadLibraryW(library);
    if (!module) return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

using CoInitializeExFunction = HRESULT(WINAPI*)(LPVOID, DWORD);
using CoCreateInstanceFunction = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
using FileNameFunction = BOOL(WINAPI*)(LPOPENFILENAMEW);
using ErrorFunction = DWORD(WINAPI*)();

}  // namespace

bool StartCom() {
    // Per thread, as COM counts it; the console has one thread with windows. It stays started
    // until the program ends.
    static thread_local const bool started = [] {
        const auto initialize = Function<CoInitializeExFunction>(L"ole32.dll", "CoInitializeEx");
        return initialize &&
               SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    }();
    return started;
}

HRESULT CreateComObject(REFCLSID type, REFIID face, void** object) {
    static const auto create = Function<CoCreateInstanceFunction>(L"ole32.dll", "CoCreateInstance");
    if (!create) return E_NOTIMPL;
    return create(type, nullptr, CLSCTX_INPROC_SERVER, face, object);
}

BOOL ChooseFileName(OPENFILENAMEW& choice, bool save) {
    static const auto open = Function<FileNameFunction>(L"comdlg32.dll", "GetOpenFileNameW");
    static const auto saveAs = Function<FileNameFunction>(L"comdlg32.dll", "GetSaveFileNameW");
    const auto choose = save ? saveAs : open;
    return choose && choose(&choice);
}

DWORD FileDialogError() {
    static const auto error = Function<ErrorFunction>(L"comdlg32.dll", "CommDlgExtendedError");
    return error ? error() : CDERR_INITIALIZATION;
}

}  // namespace zantor::console::win32
