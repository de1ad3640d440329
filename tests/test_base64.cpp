#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// Decodes text; returns nullptr-equivalent (has == false) when the decoder refuses it.
struct Decoded {
    bool has = false;
    std::string bytes;
    bool terminated = false;
};

Decoded decode(std::string const& text)
{
    Decoded d;
    unsigned long n = 12345;
    std::unique_ptr<unsigned char, FreeDeleter> out(base64_decode(text.data(), text.size(), &n));
    if (!out)
        return d;
    d.has = true;
    d.bytes.assign((char const*)out.get(), n);
    d.terminated = out.get()[n] == 0;
    return d;
}

struct DecodeCase {
    char const* text;
    bool ok;
    char const* bytes;
    size_t length;
};

// RFC 4648 test vectors plus the inputs a corrupt download produces.
DecodeCase const kDecodeCases[] = {
    {"", true, "", 0},
    {"Zg==", true, "f", 1},
    {"Zm8=", true, "fo", 2},
    {"Zm9v", true, "foo", 3},
    {"Zm9vYg==", true, "foob", 4},
    {"Zm9vYmE=", true, "fooba", 5},
    {"Zm9vYmFy", true, "foobar", 6},
    {"AAAA", true, "\0\0\0", 3},
    {"//+/", true, "\xff\xff\xbf", 3},
    {"Zm9vYg", false, nullptr, 0},      // length not a multiple of 4
    {"Zm9", false, nullptr, 0},
    {"Zm9v\n", false, nullptr, 0},
    {"Zm9v\r\n==", false, nullptr, 0},  // characters outside the alphabet
    {"Zm-v", false, nullptr, 0},
    {"Zm\x80v", false, nullptr, 0},
    {"Zg==Zm8=", false, nullptr, 0},    // padding inside the text
    {"Z===", false, nullptr, 0},
    {"====", false, nullptr, 0},
    {"Zm=v", false, nullptr, 0},
};

TEST(Base64, DecodeTable)
{
    for (DecodeCase const& c : kDecodeCases) {
        SCOPED_TRACE(c.text);
        Decoded d = decode(c.text);
        ASSERT_EQ(d.has, c.ok);
        if (c.ok) {
            EXPECT_EQ(d.bytes, std::string(c.bytes, c.length));
            EXPECT_TRUE(d.terminated);
        }
    }
}

TEST(Base64, EncodeTableAndPadding)
{
    struct {
        char const* bytes;
        char const* text;
    } const cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (auto const& c : cases) {
        unsigned long n = 999;
        std::unique_ptr<char, FreeDeleter> out(base64_encode(c.bytes, strlen(c.bytes), &n));
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out.get(), n), c.text);
        EXPECT_EQ(out.get()[n], 0);
    }
}

// Every byte value in every position of a group survives the round trip.
TEST(Base64, RoundTripEveryByteValueAndLength)
{
    std::string bytes;
    for (int i = 0; i < 256 * 3 + 2; i++)
        bytes += (char)(i * 7 + i / 256);
    for (size_t len : {size_t(1), size_t(2), size_t(3), size_t(255), bytes.size()}) {
        std::string in = bytes.substr(0, len);
        unsigned long n = 0;
        std::unique_ptr<char, FreeDeleter> text(base64_encode(in.data(), in.size(), &n));
        ASSERT_NE(text, nullptr);
        Decoded d = decode(std::string(text.get(), n));
        ASSERT_TRUE(d.has) << len;
        EXPECT_EQ(d.bytes, in) << len;
    }
}

} // namespace
