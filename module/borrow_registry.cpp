// The borrow registry: region keys, the conflict rule, the shared state behind the capsule, and lookup.
#include "module/borrow_registry.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "module/spin_lock.h"
#include <string>
#include <utility>
#include <vector>

#include "module/numpy_api.h"
#include "runtime/internal_failure.h"
#include "runtime/owned.h"
#include "runtime/py_err.h"

namespace brindlex::module {
namespace {

using runtime::failure;
using runtime::Owned;
using runtime::PyErr;
using runtime::Result;

struct Entry {
    RegionKey key;
    std::int64_t count;  // n > 0: n shared borrows; -1: one exclusive borrow; never 0
};
using OwnerEntries = std::vector<Entry>;

// Owner address -> that owner's entries. Open addressing with linear probing and backward-shift
// deletion, so there are no tombstones; the entry lists of removed owners are kept for the next
// owner, so that steady-state borrowing allocates nothing.
class OwnerTable {
public:
    OwnerTable() { resize(16); }

    OwnerEntries* find(std::uintptr_t owner) noexcept {
        for (std::size_t i = home(owner);; i = next(i)) {
            if (slots_[i].owner == owner) return &lists_[slots_[i].list];
            if (slots_[i].owner == 0) return nullptr;
        }
    }

    // `owner` must be absent.
    OwnerEntries& insert(std::uintptr_t owner) noexcept {
        if ((used_ + 1) * 2 > slots_.size()) resize(slots_.size() * 2);
        std::uint32_t list = take_list();
        place(owner, list);
        ++used_;
        return lists_[list];
    }

    // `owner` must be present.
    void erase(std::uintptr_t owner) noexcept {
        std::size_t hole = home(owner);
        while (slots_[hole].owner != owner) hole = next(hole);
        lists_[slots_[hole].list].clear();
        free_lists_.push_back(slots_[hole].list);
        for (std::size_t i = next(hole); slots_[i].owner != 0; i = next(i)) {
            std::size_t wanted = home(slots_[i].owner);
            // The entry at i may fill the hole unless its home lies cyclically in (hole, i].
            bool stays = hole < i ? (wanted > hole && wanted <= i) : (wanted > hole || wanted <= i);
            if (stays) continue;
            slots_[hole] = slots_[i];
            hole = i;
        }
        slots_[hole] = Slot{};
        --used_;
    }

    std::size_t size() const noexcept { return used_; }

private:
    struct Slot {
        std::uintptr_t owner = 0;  // 0: empty (no object lives at address 0)
        std::uint32_t list = 0;
    };

    std::size_t home(std::uintptr_t owner) const noexcept {
        return static_cast<std::size_t>((owner >> 4) * 0x9E3779B97F4A7C15ull >> shift_);
    }
    std::size_t next(std::size_t i) const noexcept { return (i + 1) & (slots_.size() - 1); }

    void place(std::uintptr_t owner, std::uint32_t list) noexcept {
        std::size_t i = home(owner);
        while (slots_[i].owner != 0) i = next(i);
        slots_[i] = Slot{owner, list};
    }

    std::uint32_t take_list() noexcept {
        if (!free_lists_.empty()) {
            std::uint32_t list = free_lists_.back();
            free_lists_.pop_back();
            return list;
        }
        lists_.emplace_back();
        // Room for every list to be freed, so that erase never allocates.
        free_lists_.reserve(lists_.capacity());
        return static_cast<std::uint32_t>(lists_.size() - 1);
    }

    [[gnu::cold]] void resize(std::size_t capacity) noexcept {
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
        shift_ = 64 - std::countr_zero(capacity);
        for (const Slot& slot : old)
            if (slot.owner != 0) place(slot.owner, slot.list);
    }

    std::vector<Slot> slots_;
    int shift_ = 60;
    std::size_t used_ = 0;
    std::vector<OwnerEntries> lists_;
    std::vector<std::uint32_t> free_lists_;
};

Entry* find_key(OwnerEntries& entries, const RegionKey& key) noexcept {
    for (Entry& entry : entries)
        if (entry.key == key) return &entry;
    return nullptr;
}

void remove_entry(OwnerEntries& entries, Entry* entry) noexcept {
    *entry = entries.back();
    entries.pop_back();
}

[[noreturn, gnu::cold]] void fail_locked(std::unique_lock<SpinLock>& lock, const char* message) noexcept {
    lock.unlock();
    runtime::internal_failure(message);
}

// The state behind the capsule's `state` pointer when this module created the registry.
class RegistryState {
public:
    int borrow_shared(std::uintptr_t owner, const RegionKey& key) noexcept {
        std::unique_lock lock(mutex_);
        OwnerEntries* entries = owners_.find(owner);
        if (entries == nullptr) {
            owners_.insert(owner).push_back(Entry{key, 1});
            return borrow_granted;
        }
        bool conflict = false;
        for (Entry& entry : *entries) {
            if (entry.key == key) {
                if (entry.count == 0) fail_locked(lock, "Borrow registry holds a count of 0");
                // Wrap-around: an exclusive borrow (-1) and the largest count both end at <= 0.
                auto incremented = static_cast<std::int64_t>(static_cast<std::uint64_t>(entry.count) + 1);
                if (incremented <= 0) return already_borrowed;
                entry.count = incremented;
                return borrow_granted;
            }
            if (entry.count < 0 && regions_conflict(key, entry.key)) conflict = true;
        }
        if (conflict) return already_borrowed;
        entries->push_back(Entry{key, 1});
        return borrow_granted;
    }

    int borrow_exclusive(std::uintptr_t owner, const RegionKey& key) noexcept {
        std::unique_lock lock(mutex_);
        OwnerEntries* entries = owners_.find(owner);
        if (entries == nullptr) {
            owners_.insert(owner).push_back(Entry{key, -1});
            return borrow_granted;
        }
        bool conflict = false;
        for (Entry& entry : *entries) {
            if (entry.key == key) {
                if (entry.count == 0) fail_locked(lock, "Borrow registry holds a count of 0");
                return already_borrowed;
            }
            if (regions_conflict(key, entry.key)) conflict = true;
        }
        if (conflict) return already_borrowed;
        entries->push_back(Entry{key, -1});
        return borrow_granted;
    }

    void end_shared(std::uintptr_t owner, const RegionKey& key) noexcept {
        std::unique_lock lock(mutex_);
        OwnerEntries* entries = owners_.find(owner);
        if (entries == nullptr) fail_locked(lock, "Ending a shared borrow of an owner that holds none");
        Entry* entry = find_key(*entries, key);
        if (entry == nullptr) fail_locked(lock, "Ending a shared borrow that is not recorded");
        if (--entry->count != 0) return;
        if (entries->size() > 1)
            remove_entry(*entries, entry);
        else
            owners_.erase(owner);
    }

    void end_exclusive(std::uintptr_t owner, const RegionKey& key) noexcept {
        std::unique_lock lock(mutex_);
        OwnerEntries* entries = owners_.find(owner);
        if (entries == nullptr) fail_locked(lock, "Ending an exclusive borrow of an owner that holds none");
        if (entries->size() == 1) {
            owners_.erase(owner);
            return;
        }
        Entry* entry = find_key(*entries, key);
        if (entry == nullptr) fail_locked(lock, "Ending an exclusive borrow that is not recorded");
        remove_entry(*entries, entry);
    }

    BorrowCounts counts(std::uintptr_t owner, const RegionKey& key) noexcept {
        std::lock_guard lock(mutex_);
        BorrowCounts counts{owners_.size(), 0, 0};
        if (OwnerEntries* entries = owners_.find(owner)) {
            counts.owner_keys = entries->size();
            if (Entry* entry = find_key(*entries, key)) counts.key_count = entry->count;
        }
        return counts;
    }

private:
    SpinLock mutex_;
    OwnerTable owners_;
};

RegistryState& state_of(void* state) noexcept { return *static_cast<RegistryState*>(state); }
std::uintptr_t owner_address(PyObject* array) noexcept {
    return reinterpret_cast<std::uintptr_t>(borrow_owner(array));
}

// The four operations of the record this module installs. The key is computed before the
// registry's lock is taken: the owner walk may need the interpreter.
int op_borrow_shared(void* state, PyObject* array) noexcept {
    std::uintptr_t owner = owner_address(array);
    return state_of(state).borrow_shared(owner, region_key(array));
}

int op_borrow_exclusive(void* state, PyObject* array) noexcept {
    if ((array_fields(array)->flags & npy_array_writeable) == 0) return not_writeable;
    std::uintptr_t owner = owner_address(array);
    return state_of(state).borrow_exclusive(owner, region_key(array));
}

void op_end_shared(void* state, PyObject* array) noexcept {
    std::uintptr_t owner = owner_address(array);
    state_of(state).end_shared(owner, region_key(array));
}

void op_end_exclusive(void* state, PyObject* array) noexcept {
    std::uintptr_t owner = owner_address(array);
    state_of(state).end_exclusive(owner, region_key(array));
}

// The heap block owned by the capsule: the record, then the capsule's name.
struct CapsuleBlock {
    BorrowApi record;
    char name[sizeof(borrow_capsule_name)];
};

CapsuleBlock* new_block() noexcept {
    auto* block = new CapsuleBlock;
    block->record = BorrowApi{1, new RegistryState, op_borrow_shared, op_borrow_exclusive,
                              op_end_shared, op_end_exclusive};
    std::memcpy(block->name, borrow_capsule_name, sizeof(borrow_capsule_name));
    return block;
}

void free_block(CapsuleBlock* block) noexcept {
    auto* state = static_cast<RegistryState*>(block->record.state);
    delete block;
    delete state;
}

void destroy_capsule(PyObject* capsule) noexcept {
    void* block = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    if (block == nullptr) {
        PyErr_Clear();
        return;
    }
    free_block(static_cast<CapsuleBlock*>(block));
}

Result<Owned> publish_registry(PyObject* module) noexcept {
    CapsuleBlock* block = new_block();
    PyObject* capsule = PyCapsule_New(block, block->name, destroy_capsule);
    if (capsule == nullptr) {
        free_block(block);
        return failure(runtime::fetch_exception());
    }
    Owned owned(capsule);
    // On failure the capsule is released here, and its destructor frees the state.
    if (PyObject_SetAttrString(module, borrow_capsule_name, capsule) != 0)
        return failure(runtime::fetch_exception());
    return owned;
}

Result<Owned> find_or_publish(PyObject* module) noexcept {
    PyObject* found = PyObject_GetAttrString(module, borrow_capsule_name);
    if (found == nullptr) {
        // Whatever stopped the lookup, a registry of our own takes its place.
        PyErr missing = runtime::fetch_exception();
        return publish_registry(module);
    }
    Owned capsule(found);
    if (Py_TYPE(found) != &PyCapsule_Type) return failure(PyErr::downcast(found, "PyCapsule"));
    return capsule;
}

Result<const BorrowApi*> look_up_registry() noexcept {
    auto name = multiarray_module_name();
    if (!name) return failure(std::move(name.error()));
    auto module = import_module(*name);
    if (!module) return failure(std::move(module.error()));
    auto capsule = find_or_publish(module->get());
    if (!capsule) return failure(std::move(capsule.error()));
    auto pointer = capsule_pointer(capsule->get());
    if (!pointer) return failure(std::move(pointer.error()));
    const auto* api = static_cast<const BorrowApi*>(*pointer);
    if (api->api_version == 0)
        return failure(PyErr::type_error(
            "Version 0 of the borrow checking API is not supported by this version of the array "
            "binding layer"));
    // The record lives inside the capsule, so the capsule is kept for the life of the process.
    (void)capsule->release();
    return api;
}

OnceValue<const BorrowApi*> api_cell;

[[noreturn, gnu::cold]] void fail_lookup(PyErr error) noexcept {
    runtime::internal_failure("Interal borrow checking API error: " + error.debug());
}

[[gnu::cold, gnu::noinline]] const BorrowApi* look_up_or_fail() noexcept {
    auto api = look_up_registry();
    if (!api) fail_lookup(std::move(api.error()));
    return api_cell.publish(*api);
}

std::uint64_t magnitude(std::int64_t value) noexcept {
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

}  // namespace

const BorrowApi& borrow_api() noexcept {
    const BorrowApi* api = api_cell.get();
    if (api == nullptr) api = look_up_or_fail();
    return *api;
}

PyObject* borrow_owner(PyObject* array) noexcept {
    NumpyApiTable table = numpy_api();
    PyObject* current = array;
    for (;;) {
        PyObject* base = array_fields(current)->base;
        if (base == nullptr) return current;
        if (!table.is_array(base)) return base;
        current = base;
    }
}

RegionKey region_key(PyObject* array) noexcept {
    const ArrayObject& fields = *array_fields(array);
    auto data = reinterpret_cast<std::uintptr_t>(fields.data);
    if (fields.nd == 0) return RegionKey{data, data, data, 1};
    std::int64_t divisor = fields.strides[0];
    bool empty = fields.dimensions[0] == 0;
    for (int axis = 1; axis < fields.nd; ++axis) {
        divisor = stein_gcd(divisor, fields.strides[axis]);
        empty = empty || fields.dimensions[axis] == 0;
    }
    if (empty) return RegionKey{data, data, data, divisor};
    // Address arithmetic wraps, as it does for the pointers themselves.
    std::uintptr_t below = 0;
    std::uintptr_t above = 0;
    for (int axis = 0; axis < fields.nd; ++axis) {
        auto reach = static_cast<std::uint64_t>(fields.dimensions[axis] - 1) *
                     static_cast<std::uint64_t>(fields.strides[axis]);
        if (static_cast<std::int64_t>(reach) < 0)
            below += reach;
        else
            above += reach;
    }
    auto size = static_cast<std::uintptr_t>(element_size(fields.descr));
    return RegionKey{data + below, data + size + above, data, divisor};
}

std::int64_t stein_gcd(std::int64_t a, std::int64_t b) noexcept {
    if (a == 0) return static_cast<std::int64_t>(magnitude(b));
    if (b == 0) return static_cast<std::int64_t>(magnitude(a));
    int shift = std::min(std::countr_zero(static_cast<std::uint64_t>(a)),
                         std::countr_zero(static_cast<std::uint64_t>(b)));
    // |INT64_MIN| has no signed value; its only odd-free factor is the power of two.
    if (a == INT64_MIN || b == INT64_MIN) return static_cast<std::int64_t>(std::uint64_t{1} << shift);
    std::uint64_t u = magnitude(a) >> std::countr_zero(magnitude(a));
    std::uint64_t v = magnitude(b);
    do {
        v >>= std::countr_zero(v);
        if (u > v) std::swap(u, v);
        v -= u;
    } while (v != 0);
    return static_cast<std::int64_t>(u << shift);
}

bool regions_conflict(const RegionKey& incoming, const RegionKey& stored) noexcept {
    if (stored.start >= incoming.end || incoming.start >= stored.end) return false;
    std::uint64_t divisor = magnitude(stein_gcd(incoming.divisor, stored.divisor));
    // Both divisors 0 (all strides zero, as in broadcast views): no grid to tell the two apart,
    // so overlapping ranges conflict.
    if (divisor == 0) return true;
    std::uint64_t distance = incoming.data > stored.data ? incoming.data - stored.data : stored.data - incoming.data;
    return distance % divisor == 0;
}

int take_shared_borrow(const BorrowApi& api, PyObject* array, SharedBorrow& taken) noexcept {
    taken = SharedBorrow{owner_address(array), region_key(array)};
    if (api.borrow_shared == op_borrow_shared) return state_of(api.state).borrow_shared(taken.owner, taken.key);
    return api.borrow_shared(api.state, array);
}

void end_shared_borrow(const BorrowApi& api, PyObject* array, const SharedBorrow& taken) noexcept {
    // Our own registry is told exactly which entry to end. Python code may have changed the
    // array's strides, dtype or shape in place since the borrow was taken (from a __len__ the
    // call runs, or from another thread while the kernel runs without the interpreter lock), and
    // the key recomputed now would name an entry that was never recorded.
    if (api.borrow_shared == op_borrow_shared) {
        state_of(api.state).end_shared(taken.owner, taken.key);
        return;
    }
    // Another module's registry offers only its four operations, and its end_shared recomputes the
    // key from the array. When the layout has changed, that would end a borrow it never recorded,
    // so it is not called and the recorded entry is left in place. A stale shared entry only makes
    // that registry refuse other modules' exclusive borrows of the memory; reads are never
    // refused, and nothing here fails. The interpreter lock is held, so the layout cannot change
    // between this comparison and that module's own recomputation.
    if (owner_address(array) == taken.owner && region_key(array) == taken.key) api.end_shared(api.state, array);
}

std::optional<BorrowCounts> borrow_counts(const BorrowApi& api, PyObject* array) noexcept {
    if (api.borrow_shared != op_borrow_shared) return std::nullopt;
    std::uintptr_t owner = owner_address(array);
    return state_of(api.state).counts(owner, region_key(array));
}

}  // namespace brindlex::module
