// Owns one kernel handle and closes it exactly once.
#pragma once

#include <windows.h>

#include <utility>

struct UniqueHandle {
    HANDLE handle = nullptr;

    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE owned) : handle(owned) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle = std::exchange(other.handle, nullptr);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { close(); }

    explicit operator bool() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

    void close() {
        if (*this) {
            CloseHandle(handle);
        }
        handle = nullptr;
    }
};
