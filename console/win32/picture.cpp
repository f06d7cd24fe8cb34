#include "console/win32/picture.h"

#include <wincodec.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "console/win32/late_libraries.h"
#include "shared/error_text.h"

namespace zantor::console::win32 {

namespace {

// Releases a COM object at the end of its scope.
template <class T>
class Com {
  public:
    Com() = default;
    ~Com() {
        if (object_) object_->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T* operator->() const { return object_; }
    T** operator&() { return &object_; }
    T* get() const { return object_; }

  private:
    T* object_ = nullptr;
};

std::string Failed(const char* what, HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    return std::string(what) + " failed (" + code + ", " +
           SysErrorText(static_cast<platform::Win32Error>(result)) + ")";
}

// The pixels of the window's rectangle, rows from the top, 24-bit BGR with rows padded to four
// bytes, as a DIB section holds them.
bool Grab(HWND window, int width, int height, std::vector<std::uint8_t>& pixels,
          std::string& error) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = bitmap != nullptr;
    if (ok) {
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        RECT frame{};
        ::GetWindowRect(window, &frame);
        if (RunsUnderWine()) {
            // Wine's PrintWindow paints the background alone; the screen holds what the person
            // sees (a virtual display will do). Wine hands what was painted to the display when
            // the thread waits: a short wait puts the whole window there.
            ::GdiFlush();
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 60, 0);
            ok = ::BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY) !=
                 FALSE;
        } else {
            // Windows draws the window itself, also where another window covers it; with its
            // full content (PW_RENDERFULLCONTENT) from Windows 8.1 on, as well as it can before.
            constexpr UINT kRenderFullContent = 2;
            ok = ::PrintWindow(window, memory, kRenderFullContent) != FALSE ||
                 ::PrintWindow(window, memory, 0) != FALSE;
        }
        ::GdiFlush();
        ::SelectObject(memory, old);
        if (ok) {
            const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
            const auto* from = static_cast<const std::uint8_t*>(bits);
            pixels.assign(from, from + stride * static_cast<std::size_t>(height));
        }
    }
    if (!ok) {
        const DWORD code = ::GetLastError();
        error = "taking the picture failed (error " + std::to_string(code) + ", " +
                SysErrorText(code) + ")";
    }
    if (bitmap) ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return ok;
}

bool Encode(const std::vector<std::uint8_t>& pixels, int width, int height,
            const std::wstring& file, std::string& error) {
    const UINT stride = (static_cast<UINT>(width) * 3 + 3) & ~3u;
    Com<IWICImagingFactory> factory;
    HRESULT result = StartCom() ? CreateComObject(CLSID_WICImagingFactory, IID_IWICImagingFactory,
                                                  reinterpret_cast<void**>(&factory))
                                : CO_E_NOTINITIALIZED;
    if (FAILED(result)) return error = Failed("the image encoder", result), false;
    Com<IWICStream> stream;
    Com<IWICBitmapEncoder> encoder;
    Com<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    struct Step {
        const char* what;
        HRESULT result;
    };
    auto steps = [&]() -> Step {
        if (FAILED(result = factory->CreateStream(&stream)))
            return {"making the file's stream", result};
        if (FAILED(result = stream->InitializeFromFilename(file.c_str(), GENERIC_WRITE)))
            return {"opening the file", result};
        if (FAILED(result = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)))
            return {"the PNG encoder", result};
        if (FAILED(result = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)))
            return {"starting the PNG file", result};
        if (FAILED(result = encoder->CreateNewFrame(&frame, nullptr)) ||
            FAILED(result = frame->Initialize(nullptr)) ||
            FAILED(result = frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height))) ||
            FAILED(result = frame->SetPixelFormat(&format)))
            return {"the picture's frame", result};
        if (!IsEqualGUID(format, GUID_WICPixelFormat24bppBGR))
            return {"the picture's pixel format", E_FAIL};
        if (FAILED(result = frame->WritePixels(static_cast<UINT>(height), stride,
                                               static_cast<UINT>(pixels.size()),
                                               const_cast<BYTE*>(pixels.data()))))
            return {"writing the pixels", result};
        if (FAILED(result = frame->Commit()) || FAILED(result = encoder->Commit()))
            return {"finishing the file", result};
        return {nullptr, S_OK};
    };
    const Step failed = steps();
    if (!failed.what) return true;
    error = Failed(failed.what, failed.result);
    return false;
}

}  // namespace

bool RunsUnderWine() {
    static const bool wine = [] {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

bool SaveWindowPicture(HWND window, const std::wstring& file, std::string& error) {
    ::RedrawWindow(window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT frame{};
    if (!::GetWindowRect(window, &frame) || frame.right <= frame.left ||
        frame.bottom <= frame.top) {
        error = "the window has no size to take a picture of";
        return false;
    }
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    std::vector<std::uint8_t> pixels;
    return Grab(window, width, height, pixels, error) && Encode(pixels, width, height, file, error);
}

}  // namespace zantor::console::win32
