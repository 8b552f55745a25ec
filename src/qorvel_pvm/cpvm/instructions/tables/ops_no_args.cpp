// qorvel_pvm.cpvm.instructions.tables.ops_no_args: trap and fall-through.
//
// The two instructions without operands.  Both end a basic block: trap
// raises PvmExit(1), fall-through continues at the next instruction, which
// then starts a new block.
#include "abi/op_table.hpp"
#include "abi/status.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm;

extern Group group;

// Nothing to decode.
InstructionProps get_props(CyTable*, uint32_t, CyProgram*, uint32_t) { return InstructionProps{0, 0, 0, 0, 0}; }

uint32_t trap_fn(CyProgram*, uint64_t*, CyMemory*, uint32_t, uint64_t, uint64_t, uint8_t, uint8_t, uint8_t) {
    Owned code = Owned::steal(PyLong_FromLong(kPanic));
    if (code) {
        Owned exc = Owned::steal(PyObject_CallOneArg(group.exit_type(), code.get()));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    }
    PVM_TRACEBACK("qorvel_pvm.cpvm.instructions.tables.ops_no_args.trap_fn");
    return kFallThrough;
}

uint32_t fallthrough_fn(CyProgram*, uint64_t*, CyMemory*, uint32_t, uint64_t, uint64_t, uint8_t, uint8_t, uint8_t) {
    return kFallThrough;
}

const OpcodeDef opcodes[] = {
    {0, trap_fn, 1, 1},
    {1, fallthrough_fn, 1, 1},
};

Group group{{"qorvel_pvm.cpvm.instructions.tables.ops_no_args", "InstructionsWoArgs", get_props, opcodes,
             std::size(opcodes), nullptr, 0, true}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_no_args, "Instructions without arguments: trap and fall-through.", group)
