#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/rng.hpp"
#include "core/state.hpp"
#include "core/types.hpp"

using namespace quelb;

namespace {

template <class To, class From>
To bits_as(From value) {
    To result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

template <class Map>
std::vector<typename Map::key_type> keys_in_order(const Map& map) {
    std::vector<typename Map::key_type> keys;
    for (const auto& item : map) keys.push_back(item.first);
    return keys;
}

template <class Map>
Map round_trip(const Map& map) {
    StateWriter writer;
    writer.map(map, [](StateWriter& w, const auto& value) { w.f64(value); });
    StateReader reader(writer.bytes());
    Map restored;
    reader.map(restored, [](StateReader& r, auto& value) { value = r.f64(); });
    reader.expect_end();
    return restored;
}

std::string message_of(std::string_view sealed, std::string_view name, std::uint32_t max_version) {
    try {
        open_state(sealed, name, max_version);
    } catch (const StateError& error) {
        return error.what();
    }
    return "accepted";
}

}  // namespace

TEST(State, NumbersStringsAndDoublesKeepTheirExactBits) {
    const double quiet_nan_with_payload = bits_as<double>(0x7ff8000000001234ULL);
    StateWriter writer;
    writer.u8(250);
    writer.i32(-7);
    writer.u64(std::numeric_limits<std::uint64_t>::max());
    writer.f64(-0.0);
    writer.f64(quiet_nan_with_payload);
    writer.boolean(true);
    writer.str(std::string("a\0b", 3));
    writer.f64s({1.5, -2.25});
    writer.features(FeatureMap{{"x", 1.0}, {"y", -3.0}});

    StateReader reader(writer.bytes());
    EXPECT_EQ(reader.u8(), 250);
    EXPECT_EQ(reader.i32(), -7);
    EXPECT_EQ(reader.u64(), std::numeric_limits<std::uint64_t>::max());
    const double zero = reader.f64();
    EXPECT_TRUE(zero == 0.0 && std::signbit(zero));
    EXPECT_EQ(bits_as<std::uint64_t>(reader.f64()), 0x7ff8000000001234ULL);
    EXPECT_TRUE(reader.boolean());
    EXPECT_EQ(reader.str(), std::string("a\0b", 3));
    std::vector<double> values;
    reader.f64s(values);
    EXPECT_EQ(values, (std::vector<double>{1.5, -2.25}));
    FeatureMap sample;
    reader.features(sample);
    EXPECT_EQ(sample, (FeatureMap{{"x", 1.0}, {"y", -3.0}}));
    reader.expect_end();
    EXPECT_THROW(reader.u8(), StateError);
}

TEST(State, ReaderRefusesDamagedCountsValuesAndLeftovers) {
    StateWriter writer;
    writer.size(1000);  // a count far beyond the bytes that follow
    writer.u8(3);
    {
        StateReader reader(writer.bytes());
        EXPECT_THROW(reader.size(), StateError);
    }
    {
        StateReader reader(std::string_view(writer.bytes()).substr(8));
        EXPECT_THROW(reader.boolean(), StateError);  // 3 is no boolean
    }
    {
        StateReader reader(std::string_view(writer.bytes()).substr(8));
        EXPECT_THROW(reader.enumerator<int>(3), StateError);
    }
    StateReader reader(writer.bytes());
    reader.u64();
    EXPECT_THROW(reader.expect_end(), StateError);
}

// The restored map iterates like the original, has its bucket count, and stays in step with it
// through further inserts (same growth points), whatever inserts and erases shaped it.
TEST(State, HashMapsKeepTheirIterationOrderAndGrowth) {
    Rng rng(3);
    for (int grown = 0; grown < 300; grown += 7) {
        std::unordered_map<std::string, double, NameHash> names;
        std::unordered_map<Label, double> labels;
        for (int i = 0; i < grown; ++i) {
            names["f" + std::to_string(rng.uniform_below(1000))] = i;
            labels[static_cast<Label>(rng.uniform_below(500)) - 250] = i;
            if (i % 5 == 4) {
                names.erase(names.begin());
                labels.erase(static_cast<Label>(rng.uniform_below(500)) - 250);
            }
        }
        auto names_copy = round_trip(names);
        auto labels_copy = round_trip(labels);
        ASSERT_EQ(keys_in_order(names_copy), keys_in_order(names));
        ASSERT_EQ(keys_in_order(labels_copy), keys_in_order(labels));
        ASSERT_EQ(names_copy.bucket_count(), names.bucket_count());
        for (int i = 0; i < 200; ++i) {
            const std::string name = "g" + std::to_string(i);
            names[name] = i;
            names_copy[name] = i;
            labels[1000 + i] = i;
            labels_copy[1000 + i] = i;
        }
        ASSERT_EQ(keys_in_order(names_copy), keys_in_order(names));
        ASSERT_EQ(keys_in_order(labels_copy), keys_in_order(labels));
        ASSERT_EQ(labels_copy.bucket_count(), labels.bucket_count());
        ASSERT_EQ(names_copy, names);
    }
}

TEST(State, HashMapRefusesRepeatedKeysAndImpossibleBucketCounts) {
    std::unordered_map<Label, double> labels{{1, 1.0}, {2, 2.0}};
    StateWriter writer;
    writer.map(labels, [](StateWriter& w, double v) { w.f64(v); });
    std::string bytes = writer.bytes();
    // Items are key (8 bytes) then value (8 bytes) after bucket count and size: copy the first
    // key over the second.
    bytes.replace(16 + 16, 8, bytes.substr(16, 8));
    StateReader repeated(bytes);
    std::unordered_map<Label, double> restored;
    EXPECT_THROW(repeated.map(restored, [](StateReader& r, double& v) { v = r.f64(); }), StateError);

    StateWriter huge;
    huge.u64(std::uint64_t{1} << 40);
    huge.size(0);
    StateReader huge_reader(huge.bytes());
    EXPECT_THROW(huge_reader.map(restored, [](StateReader& r, double& v) { v = r.f64(); }), StateError);

    // Within that cap, but far more buckets than a map of no items grows: 16 bytes may not ask
    // for half a gigabyte.
    StateWriter empty;
    empty.u64(std::uint64_t{1} << 26);
    empty.size(0);
    StateReader empty_reader(empty.bytes());
    EXPECT_THROW(empty_reader.map(restored, [](StateReader& r, double& v) { v = r.f64(); }), StateError);
}

TEST(State, GeneratorContinuesExactlyFromAnyPosition) {
    for (int draws : {0, 1, 311, 624, 1000}) {
        Rng original(42);
        for (int i = 0; i < draws; ++i) original.next_u32();
        StateWriter writer;
        writer.rng(original);
        Rng restored(7);
        StateReader reader(writer.bytes());
        reader.rng(restored);
        reader.expect_end();
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(restored.next_u32(), original.next_u32()) << draws;
    }
    StateWriter writer;
    writer.rng(Rng(1));
    std::string bytes = writer.bytes();
    bytes[624 * 4] = static_cast<char>(0xff);  // position beyond the state words
    StateReader reader(bytes);
    Rng target;
    EXPECT_THROW(reader.rng(target), StateError);
}

TEST(State, EnvelopeRefusesTruncatedDamagedForeignAndNewerStates) {
    const std::string payload = "some payload bytes of an object";
    const std::string sealed = seal_state("Thing", 1, payload);
    const auto [opened, version] = open_state(sealed, "Thing", 1);
    EXPECT_EQ(opened, payload);
    EXPECT_EQ(version, 1u);

    for (std::size_t length = 0; length < sealed.size(); ++length)
        EXPECT_THROW(open_state(std::string_view(sealed).substr(0, length), "Thing", 1), StateError) << length;
    for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
        std::string flipped = sealed;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_THROW(open_state(flipped, "Thing", 1), StateError) << bit;
    }
    EXPECT_THROW(open_state(sealed + "x", "Thing", 1), StateError);

    EXPECT_EQ(message_of("garbage", "Thing", 1), "not a saved Thing state");
    EXPECT_EQ(message_of(sealed.substr(0, sealed.size() - 1), "Thing", 1), "truncated Thing state");
    EXPECT_EQ(message_of(sealed, "Other", 1), "state of Thing cannot restore a Other");
    EXPECT_EQ(message_of(seal_state("Thing", 3, payload), "Thing", 2),
              "Thing state has format version 3, newer than this build reads (2)");
    std::string damaged = sealed;
    damaged.back() ^= 1;
    EXPECT_EQ(message_of(damaged, "Thing", 1), "corrupted Thing state");
}
