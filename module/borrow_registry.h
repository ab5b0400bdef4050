// The process-wide registry of arrays that native code reads or writes, shared through a capsule.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace brindlex::module {

// The capsule record: the interface between every module of the process that shares the registry.
extern "C" {
using BorrowFunction = int (*)(void* state, PyObject* array);
using EndBorrowFunction = void (*)(void* state, PyObject* array);
}

struct BorrowApi {
    std::uint64_t api_version;
    void* state;
    BorrowFunction borrow_shared;     // 0 granted, -1 conflict
    BorrowFunction borrow_exclusive;  // 0 granted, -1 conflict, -2 not writeable
    EndBorrowFunction end_shared;
    EndBorrowFunction end_exclusive;
};
static_assert(sizeof(BorrowApi) == 48);

inline constexpr char borrow_capsule_name[] = "_RUST_NUMPY_BORROW_CHECKING_API";
inline constexpr int borrow_granted = 0;
inline constexpr int already_borrowed = -1;
inline constexpr int not_writeable = -2;

// The registry record of the process, found or created and published on the first call; any
// failure to obtain it is an internal failure. Needs the interpreter lock.
const BorrowApi& borrow_api() noexcept;

// Memory that an array may touch, compared as one value by the registry.
struct RegionKey {
    std::uintptr_t start;
    std::uintptr_t end;  // exclusive
    std::uintptr_t data;
    std::int64_t divisor;
    friend bool operator==(const RegionKey&, const RegionKey&) = default;
};

// The object owning the array's memory: the last array of the base chain, or the foreign object
// at its end.
PyObject* borrow_owner(PyObject* array) noexcept;
RegionKey region_key(PyObject* array) noexcept;
// Binary gcd; with the most negative value as an operand, 2 to the smaller trailing-zero count.
std::int64_t stein_gcd(std::int64_t a, std::int64_t b) noexcept;
// Whether two regions may touch a common element.
bool regions_conflict(const RegionKey& incoming, const RegionKey& stored) noexcept;

// A shared borrow as this module took it: the owner and the region key the registry recorded.
struct SharedBorrow {
    std::uintptr_t owner;
    RegionKey key;
};

// Asks the registry for a shared borrow of `array` and returns its code (borrow_granted or
// already_borrowed; anything else is the caller's internal failure). On success `taken` holds
// what was recorded, to be handed back to end_shared_borrow.
int take_shared_borrow(const BorrowApi& api, PyObject* array, SharedBorrow& taken) noexcept;
// Ends the borrow recorded as `taken`, whatever has become of the array's layout since: with this
// module's registry that exact entry goes; with another module's, see the definition.
void end_shared_borrow(const BorrowApi& api, PyObject* array, const SharedBorrow& taken) noexcept;

// What the registry holds for an array's owner, readable only when this module created the
// registry (otherwise the state is another module's): for tests and diagnostics.
struct BorrowCounts {
    std::size_t owners;          // owners with any borrow
    std::size_t owner_keys;      // keys stored for the array's owner
    std::int64_t key_count;      // the count of the array's own key, 0 when absent
};
std::optional<BorrowCounts> borrow_counts(const BorrowApi& api, PyObject* array) noexcept;

}  // namespace brindlex::module
