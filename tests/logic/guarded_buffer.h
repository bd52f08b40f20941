// Places test bytes right before an inaccessible page, so that a parser
// reading even one byte past the length it was given crashes the test.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

class GuardedBuffer {
public:
    explicit GuardedBuffer(const std::string& bytes) {
        page_ = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        const size_t pages = (bytes.size() + page_ - 1) / page_ + 1;
        size_ = (pages + 1) * page_;
        void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<char*>(p);
        char* guard = base_ + pages * page_;
        if (::mprotect(guard, page_, PROT_NONE) != 0) throw std::runtime_error("mprotect failed");
        data_ = guard - bytes.size();
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
        length_ = bytes.size();
    }
    ~GuardedBuffer() { ::munmap(base_, size_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    const char* data() const { return data_; }
    size_t size() const { return length_; }

private:
    size_t page_ = 0;
    size_t size_ = 0;
    char* base_ = nullptr;
    char* data_ = nullptr;
    size_t length_ = 0;
};
