#pragma once
// Saving and restoring the complete state of an object as bytes.
//
// Every object writes its state through a StateWriter and reads it back through a StateReader:
// fixed-width little-endian numbers, doubles as their exact 64 bits, length-prefixed strings,
// counted sequences, hash maps in a form that restores their iteration order, and generator
// states. seal_state wraps an object's bytes in an envelope (magic, class name, format version,
// length, checksum) that open_state checks before anything is read, so corrupted, truncated,
// foreign and too-new states are refused with a clear message instead of being half-loaded.
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/feature_map.hpp"

namespace quelb {

class Rng;

// Corrupted, truncated, foreign or too-new state. An invalid_argument, so the bindings report it
// as ValueError with its message.
struct StateError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

class StateWriter {
public:
    void u8(std::uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void u32(std::uint32_t value) { put_le(value); }
    void i64(std::int64_t value) { u64(static_cast<std::uint64_t>(value)); }
    void u64(std::uint64_t value) { put_le(value); }
    void f64(double value) {  // the exact bits: NaN payloads and -0.0 survive
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        u64(bits);
    }
    void boolean(bool value) { u8(value ? 1 : 0); }
    void str(std::string_view text) {
        size(text.size());
        bytes_.append(text.data(), text.size());
    }
    void size(std::size_t count) { u64(count); }
    void rng(const Rng& generator);
    void features(const FeatureMap& sample);  // its pairs in their order

    template <class T, class F>
    void seq(const std::vector<T>& items, F&& write_item) {
        size(items.size());
        for (const T& item : items) write_item(*this, item);
    }
    void f64s(const std::vector<double>& values) {
        size(values.size());
        for (double value : values) f64(value);
    }

    // A hash map (std::unordered_map with string or integer keys). Its bucket count comes first,
    // then the items in REVERSE iteration order: StateReader::map sizes the buckets alike and
    // inserts in that order, and since an insertion goes to the front of its bucket's run (or of
    // the whole list when the bucket is empty), the restored map iterates exactly like this one
    // and grows at the same points afterwards. Sums over a map therefore round the same way.
    template <class Map, class F>
    void map(const Map& items, F&& write_value) {
        u64(items.bucket_count());
        size(items.size());
        std::vector<const typename Map::value_type*> order;
        order.reserve(items.size());
        for (const auto& item : items) order.push_back(&item);
        for (auto it = order.rbegin(); it != order.rend(); ++it) {
            key((*it)->first);
            write_value(*this, (*it)->second);
        }
    }

    const std::string& bytes() const { return bytes_; }
    std::string take() { return std::move(bytes_); }

private:
    template <class U>
    void put_le(U value) {
        char raw[sizeof(U)];
        for (std::size_t i = 0; i < sizeof(U); ++i) raw[i] = static_cast<char>((value >> (8 * i)) & 0xffu);
        bytes_.append(raw, sizeof(U));
    }
    void key(const std::string& name) { str(name); }
    template <class K, std::enable_if_t<std::is_integral_v<K>, int> = 0>
    void key(K value) {
        if constexpr (std::is_signed_v<K>) {
            i64(value);
        } else {
            u64(value);
        }
    }

    std::string bytes_;
};

class StateReader {
public:
    // What a reader assumes when not told the format version of its bytes: written by this build.
    static constexpr std::uint32_t kThisBuild = 0xFFFFFFFFu;

    // format_version: the version the bytes' envelope names, for loaders that still read the
    // formats of earlier builds.
    explicit StateReader(std::string_view bytes, std::uint32_t format_version = kThisBuild)
        : bytes_(bytes), format_version_(format_version) {}
    std::uint32_t format_version() const { return format_version_; }

    std::uint8_t u8() { return static_cast<std::uint8_t>(*take(1)); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::uint32_t u32() { return get_le<std::uint32_t>(); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    std::uint64_t u64() { return get_le<std::uint64_t>(); }
    // A running count (samples, errors, updates): refused when negative or so large that
    // counting on from it, or taking differences of two counts, could overflow.
    std::int64_t counter() {
        const std::uint64_t value = u64();
        if (value > kMaxCounter) fail("count " + std::to_string(static_cast<std::int64_t>(value)));
        return static_cast<std::int64_t>(value);
    }
    static constexpr std::uint64_t kMaxCounter = std::uint64_t{1} << 62;
    double f64() {
        const std::uint64_t bits = u64();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    bool boolean();
    std::string str() {
        const std::size_t length = size();
        return std::string(take(length), length);
    }
    // An element count, refused when the bytes left cannot hold that many items of at least
    // min_bytes_per_item bytes each (so a damaged count never drives a huge allocation).
    std::size_t size(std::size_t min_bytes_per_item = 1);
    void rng(Rng& generator);
    void features(FeatureMap& sample);

    // Items are added as they are read, so a damaged count runs out of bytes before it can
    // reserve much memory.
    template <class T, class F>
    void seq(std::vector<T>& items, F&& read_item) {
        const std::size_t count = size();
        items.clear();
        items.reserve(count < kEagerItems ? count : kEagerItems);
        for (std::size_t i = 0; i < count; ++i) read_item(*this, items.emplace_back());
    }
    void f64s(std::vector<double>& values) {
        const std::size_t count = size(8);
        values.resize(count);
        for (double& value : values) value = f64();
    }

    // Restores a map written by StateWriter::map into a new map swapped into `items`.
    template <class Map, class F>
    void map(Map& items, F&& read_value) {
        const std::uint64_t buckets = u64();
        const std::size_t count = size(kMinMapItemBytes);
        Map restored;
        if (buckets > kMaxMapBuckets || count > buckets || buckets > kBucketsPerItem * count + kSmallMapBuckets)
            fail("hash map of " + std::to_string(count) + " items in " + std::to_string(buckets) + " buckets");
        if (buckets != restored.bucket_count()) restored.rehash(buckets);
        if (restored.bucket_count() != buckets) fail("hash map bucket count " + std::to_string(buckets));
        for (std::size_t i = 0; i < count; ++i) {
            auto [it, inserted] = restored.try_emplace(key<typename Map::key_type>());
            if (!inserted) fail("repeated key in a hash map");
            read_value(*this, it->second);
        }
        if (restored.bucket_count() != buckets) fail("hash map grew while being restored");
        items.swap(restored);
    }

    // An enumeration stored as one byte, refused unless below count.
    template <class E>
    E enumerator(std::uint8_t count) {
        const std::uint8_t value = u8();
        if (value >= count) fail("enumeration value " + std::to_string(value));
        return static_cast<E>(value);
    }

    std::size_t remaining() const { return bytes_.size() - position_; }
    void expect_end();
    [[noreturn]] void fail(const std::string& what) const;

private:
    static constexpr std::size_t kEagerItems = 4096;
    // A key takes at least one byte and a value at least one more.
    static constexpr std::size_t kMinMapItemBytes = 2;
    // Far above any map the learners grow; refusing more keeps a damaged state from reserving
    // gigabytes of buckets.
    static constexpr std::uint64_t kMaxMapBuckets = std::uint64_t{1} << 26;
    // A saved map only ever grew by insertion (a reset makes a new one), which leaves at most
    // about two buckets per item; a few small maps have more. Refusing more keeps a few bytes of
    // state from asking for a map of any size.
    static constexpr std::uint64_t kBucketsPerItem = 4;
    static constexpr std::uint64_t kSmallMapBuckets = 64;

    const char* take(std::size_t count);
    template <class U>
    U get_le() {
        const unsigned char* raw = reinterpret_cast<const unsigned char*>(take(sizeof(U)));
        U value = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i) value |= static_cast<U>(raw[i]) << (8 * i);
        return value;
    }
    template <class K>
    K key() {
        if constexpr (std::is_same_v<K, std::string>) {
            return str();
        } else if constexpr (std::is_signed_v<K>) {
            const std::int64_t value = i64();
            if (value < static_cast<std::int64_t>(std::numeric_limits<K>::min()) ||
                value > static_cast<std::int64_t>(std::numeric_limits<K>::max()))
                fail("hash map key out of range");
            return static_cast<K>(value);
        } else {
            const std::uint64_t value = u64();
            if (value > static_cast<std::uint64_t>(std::numeric_limits<K>::max())) fail("hash map key out of range");
            return static_cast<K>(value);
        }
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
    std::uint32_t format_version_;
};

// The envelope around one object's state: magic, format version, class name, payload length, a
// 64-bit checksum over all of these and the payload, then the payload.
std::string seal_state(std::string_view class_name, std::uint32_t version, std::string_view payload);

// Checks the envelope and returns the payload and its format version. Refuses, with
// StateError: bytes that are not a saved state ("not a saved <class> state"), short ones
// ("truncated <class> state"), damaged ones ("corrupted <class> state"), another class's state
// ("state of <other> cannot restore a <class>") and versions above max_version ("<class> state
// has format version N, newer than this build reads (M)").
std::pair<std::string_view, std::uint32_t> open_state(std::string_view sealed, std::string_view class_name,
                                                      std::uint32_t max_version);

// The checksum the envelope carries: a word-at-a-time mix in which any change confined to one
// 8-byte word always changes the result.
std::uint64_t state_checksum(std::string_view bytes);

}  // namespace quelb
