#include "search/table.hpp"

#include <sys/mman.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tesko {

namespace {

constexpr std::size_t PLACES_BYTES = TranspositionTable::TABLE_SIZE * 16;
constexpr std::size_t STORED_BYTES = TranspositionTable::TABLE_SIZE / 8;
constexpr std::size_t TABLE_BYTES = PLACES_BYTES + STORED_BYTES;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Anonymous zeroed memory for the places and their stored bits, the places
// on huge pages where the system offers them (the search touches them at
// random, so small pages would cost a TLB miss on nearly every probe).
void* map_table() noexcept {
    const std::size_t length = TABLE_BYTES + HUGE_PAGE;
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // Keep a 2 MiB-aligned part and give back the rest.
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    if (aligned > start) ::munmap(p, aligned - start);
    const std::uintptr_t end = aligned + TABLE_BYTES;
    if (start + length > end) ::munmap(reinterpret_cast<void*>(end), start + length - end);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), PLACES_BYTES, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

// The process's reusable table memory: lent to one table at a time and kept
// for the life of the process once made. It is handed back with every
// stored bit clear again.
std::atomic<bool> shared_lent{false};
void* shared_memory = nullptr;

void* borrow_shared() noexcept {
    if (shared_lent.exchange(true, std::memory_order_acquire)) return nullptr;
    if (!shared_memory) shared_memory = map_table();
    if (!shared_memory) shared_lent.store(false, std::memory_order_release);
    return shared_memory;
}

void give_back_shared() noexcept { shared_lent.store(false, std::memory_order_release); }

}  // namespace

bool TranspositionTable::acquire() noexcept {
    if (places_) return true;
    void* memory = borrow_shared();
    shared_ = memory != nullptr;
    if (!memory) memory = map_table();
    if (!memory) return false;
    places_ = static_cast<Packed*>(memory);
    stored_ = reinterpret_cast<std::uint64_t*>(static_cast<char*>(memory) + PLACES_BYTES);
    return true;
}

void TranspositionTable::release() noexcept {
    if (!places_) return;
    if (shared_) {
        // Clear the stored bits this table set, for the next borrower.
        for (std::size_t i = 0; i < dirty_.size(); ++i) {
            for (std::uint64_t word = dirty_[i]; word; word &= word - 1)
                stored_[i * 64 + static_cast<unsigned>(std::countr_zero(word))] = 0;
            dirty_[i] = 0;
        }
        give_back_shared();
    } else {
        ::munmap(places_, TABLE_BYTES);
        dirty_.fill(0);
    }
    places_ = nullptr;
    stored_ = nullptr;
    shared_ = false;
}

}  // namespace tesko
