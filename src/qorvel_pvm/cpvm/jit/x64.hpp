// An x86-64 instruction encoder: the instructions the block compiler emits,
// written into a byte vector, with labels for jumps within one piece of code
// and fixups for jumps to code placed elsewhere.
//
// Operands are registers (`Reg`) or memory (`Mem`: base + index * scale +
// displacement); `Opnd` is either, for the instructions that take both.
// Operation size: the `W` forms are 64-bit, the others 32-bit (which clears
// the upper half of a register destination), byte and word stores have
// their own names.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace pvm::jit::x64 {

enum Reg : uint8_t { RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8, R9, R10, R11, R12, R13, R14, R15 };

// Condition codes, as in Jcc / SETcc / CMOVcc.
enum Cond : uint8_t { O, NO, B, AE, E, NE, BE, A, S, NS, P, NP, L, GE, LE, G };

inline constexpr Cond negate(Cond c) { return static_cast<Cond>(c ^ 1); }

struct Mem {
    Reg base;
    int32_t disp = 0;
    Reg index = RSP;  // RSP: no index
    uint8_t scale = 0;  // log2 of the index's scale
};

inline Mem at(Reg base, int32_t disp = 0) { return Mem{base, disp}; }
inline Mem at(Reg base, Reg index, uint8_t scale, int32_t disp = 0) { return Mem{base, disp, index, scale}; }

// A register or memory operand.
struct Opnd {
    bool is_mem;
    Reg reg;
    Mem mem;
    Opnd(Reg r) : is_mem(false), reg(r), mem{RAX} {}  // NOLINT: implicit on purpose
    Opnd(Mem m) : is_mem(true), reg(RAX), mem(m) {}   // NOLINT
};

inline bool fits_i8(int64_t v) { return v >= -128 && v <= 127; }
inline bool fits_i32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

class Asm {
public:
    struct Label {
        int64_t pos = -1;
        // Positions of rel32 fields that jump here before it is bound: most
        // labels have one (a cold path), kept without an allocation.
        size_t first_use = SIZE_MAX;
        std::vector<size_t> more_uses;
    };
    // A rel32 field that must reach an absolute address once the code is placed.
    struct Fixup {
        size_t field;
        const void* target;
    };

    std::vector<uint8_t> code;
    std::vector<Fixup> fixups;

    size_t size() const { return code.size(); }
    // Empty, keeping the memory for the next block.
    void reset() {
        code.clear();
        fixups.clear();
    }

    void byte(uint8_t b) { code.push_back(b); }
    void u16(uint16_t v) { put(&v, 2); }
    void u32(uint32_t v) { put(&v, 4); }
    void u64(uint64_t v) { put(&v, 8); }
    void put(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        code.insert(code.end(), b, b + n);
    }
    void align(size_t n, uint8_t fill = 0xCC) {
        while (code.size() % n != 0) byte(fill);
    }

    // ----- labels and jumps ---------------------------------------------------

    void bind(Label& l) {
        l.pos = static_cast<int64_t>(code.size());
        if (l.first_use != SIZE_MAX) patch_rel32(l.first_use, l.pos);
        for (size_t use : l.more_uses) patch_rel32(use, l.pos);
        l.first_use = SIZE_MAX;
        l.more_uses.clear();
    }
    void jmp(Label& l) {
        byte(0xE9);
        rel32_to(l);
    }
    void jcc(Cond c, Label& l) {
        byte(0x0F);
        byte(0x80 | c);
        rel32_to(l);
    }
    // Jumps to code placed elsewhere (resolved by `place`).
    void jmp_abs(const void* target) {
        byte(0xE9);
        fixup(target);
    }
    void jcc_abs(Cond c, const void* target) {
        byte(0x0F);
        byte(0x80 | c);
        fixup(target);
    }
    // jmp qword [rip + to `slot`]: an 8-byte slot in this code.
    void jmp_slot(Label& slot) {
        byte(0xFF);
        byte(0x25);  // mod 00, reg 4, rm 101: rip-relative
        rel32_to(slot);
    }
    void jmp_reg(Reg r) {
        rex(false, 0, r, false, false);
        byte(0xFF);
        byte(0xE0 | (r & 7));
    }
    void ret() { byte(0xC3); }
    void push(Reg r) {
        if (r >= 8) byte(0x41);
        byte(0x50 | (r & 7));
    }
    void pop(Reg r) {
        if (r >= 8) byte(0x41);
        byte(0x58 | (r & 7));
    }

    // Writes the fixups' rel32 fields for code placed at `base`.
    void place(uint8_t* out, const uint8_t* base) const {
        std::memcpy(out, code.data(), code.size());
        for (const Fixup& f : fixups) {
            const int64_t rel = static_cast<const uint8_t*>(f.target) - (base + f.field + 4);
            const int32_t r32 = static_cast<int32_t>(rel);
            std::memcpy(out + f.field, &r32, 4);
        }
    }

    // ----- moves --------------------------------------------------------------

    void movW(Reg dst, Opnd src) { op(0x8B, true, dst, src); }       // mov r64, r/m64
    void mov(Reg dst, Opnd src) { op(0x8B, false, dst, src); }       // mov r32, r/m32 (zero-extends)
    void movW(Mem dst, Reg src) { op(0x89, true, src, dst); }        // mov m64, r64
    void mov(Mem dst, Reg src) { op(0x89, false, src, dst); }        // mov m32, r32
    void mov16(Mem dst, Reg src) {
        byte(0x66);
        op(0x89, false, src, dst);
    }
    void mov8(Mem dst, Reg src) { op(0x88, false, src, dst, true); }
    void movW_rr(Reg dst, Reg src) { op(0x8B, true, dst, Opnd(src)); }
    // mov r64, imm: the shortest form for the value.
    void mov_imm(Reg dst, uint64_t v) {
        if (v <= 0xFFFFFFFFu) {
            rex(false, 0, dst, false, false);
            byte(0xB8 | (dst & 7));
            u32(static_cast<uint32_t>(v));
        } else if (fits_i32(static_cast<int64_t>(v))) {
            op(0xC7, true, 0, Opnd(dst));
            u32(static_cast<uint32_t>(v));
        } else {
            rex(true, 0, dst, false, false);
            byte(0xB8 | (dst & 7));
            u64(v);
        }
    }
    void movW_imm32(Mem dst, int32_t v) {  // mov m64, imm32 (sign-extended)
        op(0xC7, true, 0, dst);
        u32(static_cast<uint32_t>(v));
    }
    void mov_imm32(Mem dst, uint32_t v) {
        op(0xC7, false, 0, dst);
        u32(v);
    }
    void mov16_imm(Mem dst, uint16_t v) {
        byte(0x66);
        op(0xC7, false, 0, dst);
        u16(v);
    }
    void mov8_imm(Mem dst, uint8_t v) {
        op(0xC6, false, 0, dst);
        byte(v);
    }
    void movzx8(Reg dst, Opnd src) { op2(0xB6, false, dst, src, true); }   // movzx r32, r/m8
    void movzx16(Reg dst, Opnd src) { op2(0xB7, false, dst, src); }        // movzx r32, r/m16
    void movsx8W(Reg dst, Opnd src) { op2(0xBE, true, dst, src, true); }   // movsx r64, r/m8
    void movsx16W(Reg dst, Opnd src) { op2(0xBF, true, dst, src); }        // movsx r64, r/m16
    void movsxdW(Reg dst, Opnd src) { op(0x63, true, dst, src); }          // movsxd r64, r/m32
    void leaW(Reg dst, Mem m) { op(0x8D, true, dst, m); }
    void lea(Reg dst, Mem m) { op(0x8D, false, dst, m); }

    // ----- arithmetic ---------------------------------------------------------

    enum Alu : uint8_t { ADD = 0, OR = 1, AND = 4, SUB = 5, XOR = 6, CMP = 7 };
    // op r, r/m
    void alu(Alu a, bool w, Reg dst, Opnd src) { op(static_cast<uint8_t>(a << 3 | 3), w, dst, src); }
    // op m, r
    void alu(Alu a, bool w, Mem dst, Reg src) { op(static_cast<uint8_t>(a << 3 | 1), w, src, dst); }
    // op r/m, imm32 (sign-extended for 64-bit)
    void alu_imm(Alu a, bool w, Opnd dst, int32_t v) {
        if (fits_i8(v)) {
            op(0x83, w, a, dst);
            byte(static_cast<uint8_t>(v));
        } else {
            op(0x81, w, a, dst);
            u32(static_cast<uint32_t>(v));
        }
    }
    void test(bool w, Opnd a, Reg b) { op(0x85, w, b, a); }
    void test_imm(bool w, Opnd a, int32_t v) {
        op(0xF7, w, 0, a);
        u32(static_cast<uint32_t>(v));
    }
    void test8_imm(Reg r, uint8_t v) {  // test r8, imm8 (low byte)
        op(0xF6, false, 0, Opnd(r), true);
        byte(v);
    }
    void imul(bool w, Reg dst, Opnd src) { op2(0xAF, w, dst, src); }
    void imul_imm(bool w, Reg dst, Opnd src, int32_t v) {
        op(0x69, w, dst, src);
        u32(static_cast<uint32_t>(v));
    }
    // One-operand forms on rdx:rax.
    void mul(bool w, Opnd src) { op(0xF7, w, 4, src); }
    void imul1(bool w, Opnd src) { op(0xF7, w, 5, src); }
    void div(bool w, Opnd src) { op(0xF7, w, 6, src); }
    void idiv(bool w, Opnd src) { op(0xF7, w, 7, src); }
    void neg(bool w, Opnd dst) { op(0xF7, w, 3, dst); }
    void not_(bool w, Opnd dst) { op(0xF7, w, 2, dst); }
    void cqo() {
        byte(0x48);
        byte(0x99);
    }
    void cdq() { byte(0x99); }

    enum Shift : uint8_t { ROL = 0, ROR = 1, SHL = 4, SHR = 5, SAR = 7 };
    void shift_cl(Shift s, bool w, Opnd dst) { op(0xD3, w, s, dst); }
    void shift_imm(Shift s, bool w, Opnd dst, uint8_t n) {
        op(0xC1, w, s, dst);
        byte(n);
    }

    void popcnt(bool w, Reg dst, Opnd src) { f3op2(0xB8, w, dst, src); }
    void lzcnt(bool w, Reg dst, Opnd src) { f3op2(0xBD, w, dst, src); }
    void tzcnt(bool w, Reg dst, Opnd src) { f3op2(0xBC, w, dst, src); }
    void bswapW(Reg r) {
        rex(true, 0, r, false, false);
        byte(0x0F);
        byte(0xC8 | (r & 7));
    }
    void setcc(Cond c, Reg dst) { op2(static_cast<uint8_t>(0x90 | c), false, 0, Opnd(dst), true); }
    void cmovW(Cond c, Reg dst, Opnd src) { op2(static_cast<uint8_t>(0x40 | c), true, dst, src); }

private:
    void rel32_to(Label& l) {
        const size_t field = code.size();
        u32(0);
        if (l.pos >= 0) {
            patch_rel32(field, l.pos);
        } else if (l.first_use == SIZE_MAX) {
            l.first_use = field;
        } else {
            l.more_uses.push_back(field);
        }
    }
    void patch_rel32(size_t field, int64_t target) {
        const int32_t rel = static_cast<int32_t>(target - static_cast<int64_t>(field + 4));
        std::memcpy(code.data() + field, &rel, 4);
    }
    void fixup(const void* target) {
        fixups.push_back(Fixup{code.size(), target});
        u32(0);
    }

    // The REX prefix for `reg` (the ModRM reg field) and operand `rm`; byte
    // operands need one to name sil/dil/bpl/spl instead of ah/ch/dh/bh.
    void rex(bool w, unsigned reg, const Opnd& rm, bool byte_ops) {
        uint8_t r = 0x40;
        if (w) r |= 8;
        if (reg & 8) r |= 4;
        if (rm.is_mem) {
            if (rm.mem.index & 8) r |= 2;
            if (rm.mem.base & 8) r |= 1;
        } else if (rm.reg & 8) {
            r |= 1;
        }
        const bool low_bytes = byte_ops && ((reg >= 4 && reg < 8) || (!rm.is_mem && rm.reg >= 4 && rm.reg < 8));
        if (r != 0x40 || low_bytes) byte(r);
    }
    void rex(bool w, unsigned reg, Reg rm, bool, bool byte_ops) { rex(w, reg, Opnd(rm), byte_ops); }

    void modrm(unsigned reg, const Opnd& rm) {
        const uint8_t r = static_cast<uint8_t>((reg & 7) << 3);
        if (!rm.is_mem) {
            byte(0xC0 | r | (rm.reg & 7));
            return;
        }
        const Mem& m = rm.mem;
        const bool sib = m.index != RSP || (m.base & 7) == RSP;
        uint8_t mod;
        if (m.disp == 0 && (m.base & 7) != RBP) {
            mod = 0x00;
        } else if (fits_i8(m.disp)) {
            mod = 0x40;
        } else {
            mod = 0x80;
        }
        byte(mod | r | (sib ? 4 : (m.base & 7)));
        if (sib) byte(static_cast<uint8_t>(m.scale << 6 | (m.index & 7) << 3 | (m.base & 7)));
        if (mod == 0x40) {
            byte(static_cast<uint8_t>(m.disp));
        } else if (mod == 0x80) {
            u32(static_cast<uint32_t>(m.disp));
        }
    }

    // A one-byte opcode with ModRM.
    void op(uint8_t opcode, bool w, unsigned reg, const Opnd& rm, bool byte_ops = false) {
        rex(w, reg, rm, byte_ops);
        byte(opcode);
        modrm(reg, rm);
    }
    // A 0F-prefixed opcode with ModRM.
    void op2(uint8_t opcode, bool w, unsigned reg, const Opnd& rm, bool byte_ops = false) {
        rex(w, reg, rm, byte_ops);
        byte(0x0F);
        byte(opcode);
        modrm(reg, rm);
    }
    // F3 0F opcodes (popcnt, lzcnt, tzcnt): the F3 comes before the REX prefix.
    void f3op2(uint8_t opcode, bool w, unsigned reg, const Opnd& rm) {
        byte(0xF3);
        op2(opcode, w, reg, rm);
    }
};

}  // namespace pvm::jit::x64
