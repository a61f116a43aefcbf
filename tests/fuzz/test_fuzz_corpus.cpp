// Replays the saved fuzzer inputs (tests/fuzz_corpus/<harness>/, the seeds
// and every input that once made a reader fail) through the same entries as
// the fuzzers: each must be accepted or refused with an InputError, and
// nothing else may escape. Under the sanitizer build this also catches the
// memory and arithmetic faults that the inputs once caused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "base/Errors.h"
#include "forward_api/Sources.h"
#include "fuzz/Entries.h"
#include "tools/formats/Npy.h"

namespace {

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CorpusReplay : public ::testing::TestWithParam<megfwd::fuzz::Harness> {};

TEST_P(CorpusReplay, EveryInputIsReadOrRefusedCleanly) {
    const fs::path dir = fs::path(MEGFWD_SOURCE_DIR) / "tests/fuzz_corpus" / GetParam().name;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int files = 0, accepted = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        ++files;
        SCOPED_TRACE(e.path().filename().string());
        try {
            GetParam().entry(bytesOf(e.path()));
            ++accepted;
        } catch (const megfwd::InputError&) {
            // refused with a message: fine
        } catch (const std::exception& x) {
            ADD_FAILURE() << "escaped: " << x.what();
        }
    }
    EXPECT_GT(files, 0) << "no saved inputs in " << dir;
    // The seeds are valid files: a reader that refuses everything would pass
    // the loop above.
    EXPECT_GT(accepted, 0) << "no input of " << dir << " was accepted";
}

INSTANTIATE_TEST_SUITE_P(Harnesses, CorpusReplay, ::testing::ValuesIn(megfwd::fuzz::harnesses()),
                         [](const auto& info) { return std::string(info.param.name); });

// Numbers in rows and options: the whole field, and nothing but a number.
TEST(NumberFields, OnlyWholeDecimalNumbersAreRead) {
    double v = 0;
    for (const char* ok : {"1", "-2.5", "+3e2", ".5", "1e-3", "7.", "inf", "nan"}) EXPECT_TRUE(megfwd::parseNumber(ok, v)) << ok;
    EXPECT_TRUE(megfwd::parseNumber("+3e2", v));
    EXPECT_EQ(v, 300.0);
    for (std::string bad : {std::string("1\0junk", 6), std::string("2\0", 2), std::string("3x"), std::string(" 4"),
                            std::string("5 "), std::string("0x10"), std::string("+-1"), std::string("+"),
                            std::string(""), std::string("1e"), std::string("--1")})
        EXPECT_FALSE(megfwd::parseNumber(bad, v)) << "'" << bad << "' (" << bad.size() << " bytes)";
    // Beyond a double's range: infinite (refused by the callers) or 0.
    ASSERT_TRUE(megfwd::parseNumber("-1e999", v));
    EXPECT_EQ(v, -std::numeric_limits<double>::infinity());
    ASSERT_TRUE(megfwd::parseNumber("1e-999", v));
    EXPECT_EQ(v, 0.0);
}

// A shape whose product overflows must be refused before anything is
// allocated, whatever the data's length; so must an empty array whose other
// dimensions overflow when multiplied out.
TEST(NpyShape, HugeShapesAreRefusedNotMultipliedOut) {
    const std::string dims[] = {"(4294967296, 4294967296, 16)", "(9223372036854775807, 2)", "(3037000500, 3037000500)",
                                "(3037000500, 3037000500, 0)"};
    for (const std::string& shape : dims) {
        std::string dict = "{'descr': '<f8', 'fortran_order': False, 'shape': " + shape + ", }";
        dict.append((64 - (10 + dict.size() + 1) % 64) % 64, ' ');
        dict += '\n';
        std::string bytes = std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(dict.size() & 0xff) +
                            static_cast<char>(dict.size() >> 8) + dict + std::string(64, '\0');
        EXPECT_THROW(megfwd::io::parseNpy(bytes, "huge.npy"), megfwd::InputError) << shape;
    }
}

}  // namespace
