// Memory for generated code that is never writable and executable at once.
//
// One shared-memory object is mapped twice: a view that may be read and
// written, where code is put, and a view that may be read and executed,
// where it runs.  Code is only appended (and the 8-byte link slots inside
// it, which the code reads as data, rewritten through the writable view), so
// code that another thread is running never changes under it.  The memory
// is reserved for the buffer's whole capacity but only backed where written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pvm::jit {

class CodeBuffer {
public:
    // A buffer of `capacity` bytes; nullptr when the system refuses one.
    static CodeBuffer* create(size_t capacity);
    ~CodeBuffer();
    CodeBuffer(const CodeBuffer&) = delete;
    CodeBuffer& operator=(const CodeBuffer&) = delete;

    // Room for `n` bytes at a 16-byte boundary: the executable address, or
    // nullptr when the buffer is full.
    uint8_t* reserve(size_t n);
    // The writable view of executable address `p` of this buffer.
    uint8_t* writable(const uint8_t* p) const { return write_ + (p - exec_); }

    size_t used() const { return used_; }
    size_t capacity() const { return capacity_; }

private:
    CodeBuffer(uint8_t* exec, uint8_t* write, size_t capacity) : exec_(exec), write_(write), capacity_(capacity) {}

    uint8_t* exec_;
    uint8_t* write_;
    size_t capacity_;
    size_t used_ = 0;
};

}  // namespace pvm::jit
