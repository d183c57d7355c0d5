#include "checkkit/screenshot.h"

#include "shellops/handles.h"

#include <memory>
#include <type_traits>
#include <vector>

namespace {

struct ScreenDcReleaser {
    void operator()(HDC dc) const noexcept { ReleaseDC(nullptr, dc); }
};
struct DcDeleter {
    void operator()(HDC dc) const noexcept { DeleteDC(dc); }
};
struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};
using ScreenDc = std::unique_ptr<std::remove_pointer_t<HDC>, ScreenDcReleaser>;
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;
using GdiObject = std::unique_ptr<void, GdiObjectDeleter>;

}  // namespace

bool SaveWindowPicture(HWND window, const std::wstring& path) {
    // Above everything for the moment of the picture: Explorer opens a
    // window for a freshly mounted image, and the console of the check is
    // there too. A window may still be painting right after it appeared;
    // waiting is safer than a paint request, which a busy installer would
    // never answer.
    constexpr UINT kKeep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, kKeep);
    Sleep(800);
    struct NotTopmost {
        HWND window;
        ~NotTopmost() { SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, kKeep); }
    } const restore{window};
    RECT rect = {};
    if (!GetWindowRect(window, &rect))
        return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return false;

    // The screen's pixels rather than PrintWindow: what a person sees,
    // with the system's own drawing of the box and its frame.
    const ScreenDc screen(GetDC(nullptr));
    const MemoryDc memory(CreateCompatibleDC(screen.get()));
    const GdiObject bitmap(CreateCompatibleBitmap(screen.get(), width, height));
    if (!screen || !memory || !bitmap)
        return false;
    const HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
    const bool copied = BitBlt(memory.get(), 0, 0, width, height, screen.get(), rect.left, rect.top,
                               SRCCOPY | CAPTUREBLT) != 0;
    SelectObject(memory.get(), previous);
    if (!copied)
        return false;

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;  // bottom-up, as BMP files store rows
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    std::vector<unsigned char> pixels(static_cast<size_t>(stride) * static_cast<size_t>(height));
    if (GetDIBits(memory.get(), static_cast<HBITMAP>(bitmap.get()), 0, static_cast<UINT>(height),
                  pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) != height)
        return false;

    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof header + sizeof info;
    header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
    const UniqueHandle file = MakeUniqueHandle(CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    const auto write = [&file](const void* data, size_t size) {
        DWORD written = 0;
        return WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) &&
               written == size;
    };
    return write(&header, sizeof header) && write(&info, sizeof info) &&
           write(pixels.data(), pixels.size());
}
