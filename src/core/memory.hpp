#pragma once
// Estimates of the memory an object holds, for memory_usage(): the object itself plus what it
// owns on the heap. Containers count what they allocated (vectors by capacity, hash maps by
// nodes and buckets, strings beyond their inline buffer), each allocation rounded as a
// malloc-style allocator rounds it (a word of header, 16-byte granules), so that the estimate
// follows the allocator's own count. Computed only when asked: nothing is tracked per sample.
//
// A class holding heap memory gives itself `std::size_t heap_bytes() const`, summing
// memory::owned() of its members; owned() of such a class calls it.
#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quelb::memory {

// What one allocation of `bytes` takes from the allocator.
constexpr std::size_t block(std::size_t bytes) {
    if (bytes == 0) return 0;
    const std::size_t chunk = (bytes + sizeof(void*) + 15) & ~std::size_t{15};
    return chunk < 32 ? 32 : chunk;
}

template <class T, class = void>
struct Owned {
    static_assert(std::is_trivially_copyable_v<T>, "give the type a heap_bytes() const");
    static std::size_t of(const T&) { return 0; }
};

// Heap bytes owned by value, beyond sizeof(value).
template <class T>
std::size_t owned(const T& value) {
    return Owned<T>::of(value);
}

template <class... T>
std::size_t owned_all(const T&... values) {
    return (std::size_t{0} + ... + owned(values));
}

// The object itself and all it owns, for an object allocated on its own.
template <class T>
std::size_t object_bytes(const T& value) {
    return block(sizeof(T)) + owned(value);
}

template <class Range>
std::size_t owned_elements(const Range& range) {
    using Element = std::decay_t<decltype(*std::begin(range))>;
    if constexpr (std::is_trivially_copyable_v<Element>) {
        return 0;
    } else {
        std::size_t total = 0;
        for (const auto& element : range) total += owned(element);
        return total;
    }
}

template <class T>
struct Owned<T, std::void_t<decltype(std::declval<const T&>().heap_bytes())>> {
    static std::size_t of(const T& value) { return value.heap_bytes(); }
};

template <class C, class Tr, class A>
struct Owned<std::basic_string<C, Tr, A>> {
    static std::size_t of(const std::basic_string<C, Tr, A>& s) {
        // Short strings live in the string's own buffer.
        constexpr std::size_t inline_capacity = 15 / sizeof(C);
        return s.capacity() > inline_capacity ? block((s.capacity() + 1) * sizeof(C)) : 0;
    }
};

template <class T, class A>
struct Owned<std::vector<T, A>> {
    static std::size_t of(const std::vector<T, A>& v) { return block(v.capacity() * sizeof(T)) + owned_elements(v); }
};

template <class A>
struct Owned<std::vector<bool, A>> {
    static std::size_t of(const std::vector<bool, A>& v) { return block((v.capacity() + 7) / 8); }
};

template <class T, std::size_t N>
struct Owned<std::array<T, N>> {
    static std::size_t of(const std::array<T, N>& a) { return owned_elements(a); }
};

template <class A, class B>
struct Owned<std::pair<A, B>> {
    static std::size_t of(const std::pair<A, B>& p) { return owned(p.first) + owned(p.second); }
};

template <class T>
struct Owned<std::optional<T>> {
    static std::size_t of(const std::optional<T>& o) { return o ? owned(*o) : 0; }
};

// A polymorphic object is measured by its own memory_usage(), which knows its dynamic type.
template <class T>
std::size_t pointee_bytes(const T& value) {
    if constexpr (std::is_polymorphic_v<T>) {
        return value.memory_usage();
    } else {
        return object_bytes(value);
    }
}

// Objects held by unique pointers, counted by their static type with their heap_bytes(): for
// models whose memory_usage() adds parts their owner shares among them and counts once.
template <class Pointers>
std::size_t static_pointees(const Pointers& pointers) {
    std::size_t total = block(pointers.capacity() * sizeof(pointers[0]));
    for (const auto& p : pointers) total += p ? object_bytes(*p) : 0;
    return total;
}

template <class T, class D>
struct Owned<std::unique_ptr<T, D>> {
    static std::size_t of(const std::unique_ptr<T, D>& p) { return p ? pointee_bytes(*p) : 0; }
};

// A shared object counts in full with each owner; owners sharing one among their parts count it
// once themselves.
template <class T>
struct Owned<std::shared_ptr<T>> {
    static std::size_t of(const std::shared_ptr<T>& p) { return p ? 2 * sizeof(void*) + pointee_bytes(*p) : 0; }
};

template <class T, class A>
struct Owned<std::deque<T, A>> {
    static std::size_t of(const std::deque<T, A>& d) {
        // Blocks of 512 bytes (or one element), and a map of block pointers.
        constexpr std::size_t per_block = sizeof(T) < 512 ? 512 / sizeof(T) : 1;
        const std::size_t blocks = d.size() / per_block + 1;
        return blocks * block(per_block * sizeof(T)) + block((blocks + 2 < 8 ? 8 : blocks + 2) * sizeof(void*)) +
               owned_elements(d);
    }
};

// A node of a hash container: the link to the next node, the value and, unless the key is
// cheap to hash again, its hash.
template <class Container>
std::size_t hash_nodes(const Container& c) {
    using Key = typename Container::key_type;
    constexpr std::size_t node = sizeof(void*) + sizeof(typename Container::value_type) +
                                 (std::is_integral_v<Key> || std::is_pointer_v<Key> ? 0 : sizeof(std::size_t));
    // A single bucket lives inside the container.
    const std::size_t buckets = c.bucket_count() > 1 ? block(c.bucket_count() * sizeof(void*)) : 0;
    return c.size() * block(node) + buckets + owned_elements(c);
}

template <class K, class V, class H, class E, class A>
struct Owned<std::unordered_map<K, V, H, E, A>> {
    static std::size_t of(const std::unordered_map<K, V, H, E, A>& m) { return hash_nodes(m); }
};

template <class K, class H, class E, class A>
struct Owned<std::unordered_set<K, H, E, A>> {
    static std::size_t of(const std::unordered_set<K, H, E, A>& s) { return hash_nodes(s); }
};

template <class K, class V, class C, class A>
struct Owned<std::map<K, V, C, A>> {
    // Red-black nodes: colour and three links before the value.
    static std::size_t of(const std::map<K, V, C, A>& m) {
        return m.size() * block(4 * sizeof(void*) + sizeof(std::pair<const K, V>)) + owned_elements(m);
    }
};

}  // namespace quelb::memory
