// Console output. A console shows UTF-16 right whatever its code page, so it gets that; a file or
// a pipe gets the UTF-8 bytes, which is also what the JSON form must be.
#include "ctl/win32/console.h"

#include <windows.h>

namespace {

std::wstring widened(const std::string& text, UINT codePage) {
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    return wide;
}

void write(DWORD stream, const std::string& utf8) {
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || utf8.empty()) {
        return;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring wide = widened(utf8, CP_UTF8);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void writeOut(const std::string& utf8) {
    write(STD_OUTPUT_HANDLE, utf8);
}

void writeError(const std::string& utf8) {
    write(STD_ERROR_HANDLE, utf8);
}

std::string ansiToUtf8(const std::string& ansi) {
    const std::wstring wide = widened(ansi, CP_ACP);
    const int size = static_cast<int>(wide.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
    return utf8;
}
