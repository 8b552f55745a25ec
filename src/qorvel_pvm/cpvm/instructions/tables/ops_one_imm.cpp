// qorvel_pvm.cpvm.instructions.tables.ops_one_imm
//
// The instruction group with one immediate operand: `ecalli` (opcode 10), the
// host call.  Its handler leaves the block with `PvmExit(4, index)`; the
// driver turns that exit into a call of the embedder's host handler or into
// a "host" stop of the run.  The host call does not end a basic block: the
// instructions after it belong to the same block and run once the host call
// is done.
#include "decode.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;
using pvm::Owned;

constexpr const char* kModuleName = "qorvel_pvm.cpvm.instructions.tables.ops_one_imm";

extern pvm::Group group;

// Operand layout: opcode at pc, then min(4, skip) immediate bytes,
// little-endian and sign-extended to 64 bits.
InstructionProps one_imm_get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    const unsigned lx = pvm::num::clamp_4(static_cast<uint8_t>(skip > 0xFF ? 0xFF : skip));
    InstructionProps props{};
    props.vx = pvm::decode::immediate(program, pc + 1, lx);
    return props;
}

// ecalli: raises PvmExit(4, index) with the index the low 32 bits of the
// immediate.  Registers and memory are as the earlier instructions left them.
uint32_t ecalli(CyProgram*, uint64_t*, CyMemory*, uint32_t, uint64_t vx, uint64_t, uint8_t, uint8_t, uint8_t) {
    Owned code = Owned::steal(PyLong_FromLong(pvm::kHostCall));
    Owned index = Owned::steal(code ? PyLong_FromUnsignedLong(static_cast<uint32_t>(vx)) : nullptr);
    if (index) {
        Owned exc = Owned::steal(PyObject_CallFunctionObjArgs(group.exit_type(), code.get(), index.get(), nullptr));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    }
    PVM_TRACEBACK("qorvel_pvm.cpvm.instructions.tables.ops_one_imm.ecalli");
    return kFallThrough;
}

const pvm::OpcodeDef kOpcodes[] = {
    {10, ecalli, 1, 0},
};

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("chi", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{kModuleName, "InstructionsWArgs1Imm", one_imm_get_props, kOpcodes, std::size(kOpcodes),
                  kBindings, std::size(kBindings), /*import_status=*/true}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_one_imm, "Instructions with one immediate: the host call.", group)
