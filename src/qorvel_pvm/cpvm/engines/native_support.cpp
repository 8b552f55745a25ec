// What the native engines bind from the other modules, and their shared
// slow paths (native_support.hpp).
#include "native_support.hpp"

#include "abi/op_table.hpp"
#include "capi.hpp"
#include "module.hpp"

namespace pvm::engine::native {

Bound bound;

int bind(const Setup& setup) {
    bound.program_type = setup.program_type;
    bound.memory_type = setup.memory_type;
    bound.compiled_type = setup.compiled_type;
    bound.entries = setup.entries;
    bound.exit_type = setup.exit_type;
    if (bind_variable(kOpTableModule, kEntryChangesName, &bound.entry_changes, kEntryChangesSig) < 0 ||
        bind_function(kMemoryModule, "_direct_load", &bound.load, kDirectLoadSig) < 0 ||
        bind_function(kMemoryModule, "_direct_store", &bound.store, kDirectStoreSig) < 0 ||
        bind_function(kMemoryModule, "_page_map", &bound.page_map, kPageMapSig) < 0)
        return -1;
    return 0;
}

End from_exception(CyMemory* memory, int opcode, uint32_t* fault) {
    if (PyErr_ExceptionMatches(bound.exit_type)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
        long code = -1;
        if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) >= 1 && PyLong_Check(PyTuple_GET_ITEM(args, 0)))
            code = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
        if (code == kHalt || code == kPanic) {
            Py_DECREF(exc);
            return static_cast<End>(code);
        }
        if (code == kPageFault && PyTuple_GET_SIZE(args) >= 2 && PyLong_Check(PyTuple_GET_ITEM(args, 1))) {
            const unsigned long long address = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(args, 1));
            if (!PyErr_Occurred() && address <= 0xFFFFFFFFull) {
                *fault = fault_page(memory, opcode, static_cast<uint32_t>(address));
                Py_DECREF(exc);
                return End::page_fault;
            }
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc);
    }
    add_traceback("qorvel_pvm.cpvm.vm_block.CyBlockInfo.execute", __FILE__, __LINE__);
    return End::failed;
}

}  // namespace pvm::engine::native
