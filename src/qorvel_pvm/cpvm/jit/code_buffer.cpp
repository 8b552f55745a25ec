// Generated code's memory: one shared-memory object, two views (code_buffer.hpp).
#include "code_buffer.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace pvm::jit {

#if defined(__linux__) && defined(MFD_CLOEXEC)

CodeBuffer* CodeBuffer::create(size_t capacity) {
    const int fd = memfd_create("qorvel_pvm-code", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    void* write = MAP_FAILED;
    void* exec = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(capacity)) == 0) {
        write = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
        exec = mmap(nullptr, capacity, PROT_READ | PROT_EXEC, MAP_SHARED | MAP_NORESERVE, fd, 0);
    }
    close(fd);  // the mappings keep the object
    CodeBuffer* buffer = nullptr;
    if (write != MAP_FAILED && exec != MAP_FAILED)
        buffer = new (std::nothrow) CodeBuffer(static_cast<uint8_t*>(exec), static_cast<uint8_t*>(write), capacity);
    if (buffer == nullptr) {
        if (write != MAP_FAILED) munmap(write, capacity);
        if (exec != MAP_FAILED) munmap(exec, capacity);
    }
    return buffer;
}

CodeBuffer::~CodeBuffer() {
    munmap(write_, capacity_);
    munmap(exec_, capacity_);
}

#else

CodeBuffer* CodeBuffer::create(size_t) { return nullptr; }
CodeBuffer::~CodeBuffer() = default;

#endif

uint8_t* CodeBuffer::reserve(size_t n) {
    const size_t start = (used_ + 15) & ~size_t{15};
    if (start > capacity_ || n > capacity_ - start) return nullptr;
    used_ = start + n;
    return exec_ + start;
}

}  // namespace pvm::jit
