// The gas profile of one run (see profiler.hpp).
#include "profiler.hpp"

#include "ref.hpp"

#include <algorithm>

namespace pvm::engine {

Profiler::Profiler(uint32_t start_pc, uint32_t code_length) : near_(static_cast<size_t>(code_length) + 1),
                                                              block_(start_pc) {
    nodes_.push_back(Node{start_pc, -1, 0, 1});
}

void Profiler::follow(uint32_t start) {
    if (pending_ == Flow::call) {
        const uint64_t key = (static_cast<uint64_t>(node_) << 32) | start;
        auto found = children_.find(key);
        uint32_t child;
        if (found != children_.end()) {
            child = found->second;
        } else {
            child = static_cast<uint32_t>(nodes_.size());
            nodes_.push_back(Node{start, static_cast<int32_t>(node_), 0, 0});
            children_.emplace(key, child);
        }
        ++nodes_[child].calls;
        stack_.push_back(node_);
        node_ = child;
    } else if (!stack_.empty()) {  // a return to the caller; from the first function it stays put
        node_ = stack_.back();
        stack_.pop_back();
    }
    pending_ = Flow::none;
}

PyObject* Profiler::to_python() const {
    Owned blocks = Owned::steal(PyList_New(0));
    if (!blocks) return nullptr;
    auto add_block = [&](uint32_t pc, const Count& c) {
        Owned item = Owned::steal(Py_BuildValue("(kKK)", static_cast<unsigned long>(pc),
                                                static_cast<unsigned long long>(c.entries),
                                                static_cast<unsigned long long>(c.gas)));
        return item && PyList_Append(blocks.get(), item.get()) == 0;
    };
    for (size_t pc = 0; pc < near_.size(); ++pc)
        if ((near_[pc].entries != 0 || near_[pc].gas != 0) && !add_block(static_cast<uint32_t>(pc), near_[pc]))
            return nullptr;
    std::vector<uint32_t> far_pcs;
    for (const auto& entry : far_) far_pcs.push_back(entry.first);
    std::sort(far_pcs.begin(), far_pcs.end());
    for (uint32_t pc : far_pcs)
        if (!add_block(pc, far_.at(pc))) return nullptr;
    Owned nodes = Owned::steal(PyList_New(static_cast<Py_ssize_t>(nodes_.size())));
    if (!nodes) return nullptr;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        const Node& n = nodes_[i];
        PyObject* item = Py_BuildValue("(kiKK)", static_cast<unsigned long>(n.function), static_cast<int>(n.parent),
                                       static_cast<unsigned long long>(n.gas),
                                       static_cast<unsigned long long>(n.calls));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(nodes.get(), static_cast<Py_ssize_t>(i), item);
    }
    return PyTuple_Pack(2, blocks.get(), nodes.get());
}

}  // namespace pvm::engine
