#include "core/state.hpp"

#include <sstream>

#include "core/rng.hpp"

namespace quelb {

namespace {

constexpr char kMagic[4] = {'Q', 'L', 'B', 'S'};
constexpr std::size_t kEngineWords = 624;  // Mt19937's state size

constexpr std::uint64_t kMix1 = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kMix2 = 0xbf58476d1ce4e5b9ULL;
constexpr std::uint64_t kMix3 = 0x94d049bb133111ebULL;

std::uint64_t rotate_left(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

// Bijective finaliser: equal inputs only from equal states.
std::uint64_t finish(std::uint64_t h) {
    h ^= h >> 31;
    h *= kMix2;
    h ^= h >> 29;
    h *= kMix3;
    h ^= h >> 32;
    return h;
}

std::uint64_t envelope_checksum(std::string_view header, std::string_view payload) {
    return finish(state_checksum(header) * kMix1 + state_checksum(payload));
}

}  // namespace

std::uint64_t state_checksum(std::string_view bytes) {
    // Each step is a bijection of h for a fixed word and of the word for a fixed h, so a change
    // within one word always reaches the result.
    std::uint64_t h = finish(bytes.size() ^ kMix1);
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word = 0;
        for (int b = 0; b < 8; ++b) word |= static_cast<std::uint64_t>(raw[i + b]) << (8 * b);
        h = rotate_left((h ^ word) * kMix2, 27) * kMix1;
    }
    if (i < bytes.size()) {
        std::uint64_t word = 0;
        for (int b = 0; i + b < bytes.size(); ++b) word |= static_cast<std::uint64_t>(raw[i + b]) << (8 * b);
        h = rotate_left((h ^ word) * kMix2, 27) * kMix1;
    }
    return finish(h);
}

// The engine's textual form is its 624 state words and its position; they are stored as binary
// words, and read back through the same form.
void StateWriter::rng(const Rng& generator) {
    std::ostringstream text;
    text << generator.engine_;
    std::istringstream words(text.str());
    std::uint64_t word = 0;
    for (std::size_t i = 0; i <= kEngineWords; ++i) {
        words >> word;
        u32(static_cast<std::uint32_t>(word));
    }
}

void StateReader::rng(Rng& generator) {
    std::string text;
    text.reserve((kEngineWords + 1) * 11);
    for (std::size_t i = 0; i < kEngineWords; ++i) {
        text += std::to_string(u32());
        text += ' ';
    }
    const std::uint32_t position = u32();
    if (position > kEngineWords) fail("generator position " + std::to_string(position));
    text += std::to_string(position);
    std::istringstream words(text);
    Mt19937 engine;
    words >> engine;
    if (!words) fail("generator state");
    generator.engine_ = engine;
}

void StateWriter::features(const FeatureMap& sample) {
    size(sample.size());
    for (const auto& [name, value] : sample) {
        str(name);
        f64(value);
    }
}

void StateReader::features(FeatureMap& sample) {
    const std::size_t count = size(16);  // a length and a value per entry
    FeatureMap restored;
    restored.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string name = str();
        if (!restored.emplace(name, f64()).second) fail("repeated feature name");
    }
    sample = std::move(restored);
}

bool StateReader::boolean() {
    const std::uint8_t value = u8();
    if (value > 1) fail("boolean value " + std::to_string(value));
    return value == 1;
}

std::size_t StateReader::size(std::size_t min_bytes_per_item) {
    const std::uint64_t count = u64();
    if (min_bytes_per_item == 0) min_bytes_per_item = 1;
    if (count > remaining() / min_bytes_per_item) fail("count " + std::to_string(count) + " exceeds the data left");
    return static_cast<std::size_t>(count);
}

const char* StateReader::take(std::size_t count) {
    if (count > remaining()) fail("data ends early");
    const char* at = bytes_.data() + position_;
    position_ += count;
    return at;
}

void StateReader::expect_end() {
    if (remaining() != 0) fail(std::to_string(remaining()) + " unread bytes at the end");
}

void StateReader::fail(const std::string& what) const { throw StateError("corrupted state: " + what); }

std::string seal_state(std::string_view class_name, std::uint32_t version, std::string_view payload) {
    StateWriter header;
    for (char c : kMagic) header.u8(static_cast<std::uint8_t>(c));
    header.u32(version);
    header.str(class_name);
    header.size(payload.size());
    const std::uint64_t checksum = envelope_checksum(header.bytes(), payload);
    std::string sealed = header.take();
    StateWriter tail;
    tail.u64(checksum);
    sealed += tail.bytes();
    sealed.append(payload.data(), payload.size());
    return sealed;
}

std::pair<std::string_view, std::uint32_t> open_state(std::string_view sealed, std::string_view class_name,
                                                      std::uint32_t max_version) {
    const std::string name(class_name);
    if (sealed.size() < sizeof kMagic || sealed.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0)
        throw StateError("not a saved " + name + " state");
    StateReader reader(sealed.substr(sizeof kMagic));
    std::uint32_t version = 0;
    std::string stored_name;
    std::uint64_t payload_size = 0;
    std::uint64_t checksum = 0;
    try {
        version = reader.u32();
        stored_name = reader.str();
        payload_size = reader.u64();
        checksum = reader.u64();
    } catch (const StateError&) {
        throw StateError("truncated " + name + " state");
    }
    if (payload_size > reader.remaining()) throw StateError("truncated " + name + " state");
    const std::size_t payload_start = sealed.size() - reader.remaining();
    if (reader.remaining() != payload_size) throw StateError("corrupted " + name + " state");
    const std::string_view header = sealed.substr(0, payload_start - 8);
    const std::string_view payload = sealed.substr(payload_start);
    if (envelope_checksum(header, payload) != checksum) throw StateError("corrupted " + name + " state");
    if (stored_name != class_name) throw StateError("state of " + stored_name + " cannot restore a " + name);
    if (version == 0) throw StateError("corrupted " + name + " state");
    if (version > max_version)
        throw StateError(name + " state has format version " + std::to_string(version) +
                         ", newer than this build reads (" + std::to_string(max_version) + ")");
    return {payload, version};
}

}  // namespace quelb
