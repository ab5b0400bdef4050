// The cache of freed scratch arrays, shared by every thread that calls the kernels.
#include "core/many/scratch_cache.h"

#include <array>
#include <mutex>
#include <new>
#include <utility>

#include "core/many/huge_pages.h"

namespace brindlex::core::scratch_cache {
namespace {

struct Kept {
    void* array = nullptr;
    std::size_t bytes = 0;
};

// Oldest first. Freed at exit, so that nothing kept looks like a leak.
class Cache {
public:
    ~Cache() {
        for (Kept& k : kept_) release(k);
    }

    void* take(std::size_t bytes) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (Kept& k : kept_) {
            if (k.array && k.bytes >= bytes && k.bytes / 2 <= bytes) {
                held_ -= k.bytes;
                return std::exchange(k, Kept{}).array;
            }
        }
        return nullptr;
    }

    bool keep(void* array, std::size_t bytes) noexcept {
        if (bytes > kept_bytes) return false;
        const std::lock_guard<std::mutex> lock(mutex_);
        // The oldest go first, until the new one fits; then it takes the newest place.
        for (Kept& k : kept_) {
            if (held_ + bytes <= kept_bytes) break;
            release(k);
        }
        release(kept_.front());
        for (std::size_t i = 0; i + 1 < kept_.size(); ++i) kept_[i] = kept_[i + 1];
        kept_.back() = {array, bytes};
        held_ += bytes;
        return true;
    }

private:
    void release(Kept& k) noexcept {
        if (!k.array) return;
        ::operator delete(k.array, std::align_val_t{HugePageAllocator<char>::huge_page});
        held_ -= k.bytes;
        k = {};
    }

    std::mutex mutex_;
    std::array<Kept, 4> kept_{};
    std::size_t held_ = 0;
};

Cache cache;

}  // namespace

void* take(std::size_t bytes) noexcept { return cache.take(bytes); }

bool keep(void* array, std::size_t bytes) noexcept { return cache.keep(array, bytes); }

}  // namespace brindlex::core::scratch_cache
