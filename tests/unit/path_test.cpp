// Paths and texts: canonical form, the path and text checks, type names.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <velt++.h>

#include "validate.h"

namespace {

struct canon_case {
    std::string in;
    std::string out;
};

const std::vector<canon_case> canon_cases = {
    {"", "/"},
    {"/", "/"},
    {"///", "/"},
    {"a", "/a"},
    {"a/", "/a"},
    {"a//", "/a"},
    {"//a", "/a"},
    {"/a", "/a"},
    {"a/b", "/a/b"},
    {"/a//b///c/", "/a/b/c"},
    {"a///b//", "/a/b"},
    {"/a b/ c ", "/a b/ c "},
    {"Zürich//Genève/", "/Zürich/Genève"},
    {std::string("/a\0b//c", 7), std::string("/a\0b/c", 6)},
};

TEST(Path, CanonicalizeInPlace) {
    for (const auto& c : canon_cases) {
        SCOPED_TRACE("input \"" + c.in + "\"");
        std::string s = c.in;
        toolkit::CElement::canonicalize_path(s);
        EXPECT_EQ(s, c.out);
        // Canonical paths stay as they are.
        toolkit::CElement::canonicalize_path(s);
        EXPECT_EQ(s, c.out);
    }
}

TEST(Path, CanonicalizeUsesOnlyOneSpareByte) {
    for (const auto& c : canon_cases) {
        SCOPED_TRACE("input \"" + c.in + "\"");
        // len + 1 bytes of room, then a guard byte that must stay untouched.
        std::vector<char> buf(c.in.begin(), c.in.end());
        buf.push_back('#');
        buf.push_back('!');
        const size_t n = vlt_canonicalize_path(buf.data(), c.in.size());
        EXPECT_EQ(std::string(buf.data(), n), c.out);
        EXPECT_EQ(buf.back(), '!');
    }
    EXPECT_EQ(vlt_canonicalize_path(nullptr, 0), 0u);
}

TEST(Path, ValidCanonicalPath) {
    const std::vector<std::string> good = {
        "/", "/a", "/a/b/c", "/a b", "/Zürich/Genève", "/日本", "/\xf0\x9f\x98\x80",
        "/\xef\xbf\xbd", "/\xf4\x8f\xbf\xbf", "/-", "/.", "/..",
    };
    const std::vector<std::string> bad = {
        "",
        "a",
        "a/b",
        "/a/",
        "//a",
        "/a//b",
        "/a\tb",
        "/a\nb",
        "/a\rb",
        "/a\x7f",
        "/a\x1f",
        std::string("/a\0b", 4),
        "/\xff",
        "/\x80",
        "/\xc0\x80",          // overlong NUL
        "/\xe0\x80\xaf",      // overlong '/'
        "/\xc1\xbf",          // overlong
        "/\xed\xa0\x80",      // surrogate
        "/\xef\xbf\xbe",      // U+FFFE
        "/\xef\xbf\xbf",      // U+FFFF
        "/\xf4\x90\x80\x80",  // above U+10FFFF
        "/\xe2\x82",          // truncated
        "/\xe2\x82/x",        // truncated before '/'
    };
    for (const auto& p : good) EXPECT_TRUE(velt::valid_canonical_path(p)) << p;
    for (const auto& p : bad) EXPECT_FALSE(velt::valid_canonical_path(p)) << p;
}

TEST(Path, TextChecks) {
    // Tab, line feed and carriage return are allowed only in values.
    for (const char* ws : {"a\tb", "a\nb", "a\r\nb"}) {
        EXPECT_TRUE(velt::valid_utf8_text(ws, true)) << ws;
        EXPECT_FALSE(velt::valid_utf8_text(ws, false)) << ws;
        EXPECT_TRUE(toolkit::CElement::valid_string(ws)) << ws;
    }
    EXPECT_TRUE(velt::valid_utf8_text("", true));
    EXPECT_TRUE(velt::valid_utf8_text("\x7e \xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80",
                                      false));
    EXPECT_FALSE(toolkit::CElement::valid_string(std::string("a\0", 2)));
    EXPECT_FALSE(toolkit::CElement::valid_string("\x01"));
    EXPECT_FALSE(toolkit::CElement::valid_string("\x7f"));
    EXPECT_FALSE(toolkit::CElement::valid_string("\xf5\x80\x80\x80"));
    EXPECT_FALSE(toolkit::CElement::valid_string("\xf0\x8f\xbf\xbf"));  // overlong 4-byte
    EXPECT_FALSE(toolkit::CElement::valid_string("ok\xe2\x82"));       // cut off at the end
}

TEST(TypeNames, EveryCodeRoundTrips) {
    const char* names[] = {"bool",   "int32",  "uint32", "int64", "uint64", "string",
                           "double", "ipv4",   "ipv6",   "mac",   "binary", "none"};
    for (int code = 1; code <= 12; ++code) {
        const auto t = static_cast<data_type_t>(code);
        ASSERT_NE(vlt_enum_to_str(t), nullptr) << code;
        EXPECT_STREQ(vlt_enum_to_str(t), names[code - 1]);
        EXPECT_EQ(vlt_str_to_enum(names[code - 1]), t);
    }
}

TEST(TypeNames, UnknownNamesAndCodes) {
    EXPECT_EQ(vlt_enum_to_str(DATATYPE_INVALID), nullptr);
    EXPECT_EQ(vlt_enum_to_str(static_cast<data_type_t>(13)), nullptr);
    EXPECT_EQ(vlt_enum_to_str(static_cast<data_type_t>(-1)), nullptr);
    EXPECT_EQ(toolkit::CElement::_invalid, "invalid");
    for (const char* name : {"invalid", "", "Bool", "INT32", "bool ", " bool", "int", "str", "nonee"}) {
        EXPECT_EQ(vlt_str_to_enum(name), DATATYPE_INVALID) << '"' << name << '"';
    }
    EXPECT_EQ(vlt_str_to_enum(nullptr), DATATYPE_INVALID);
}

}  // namespace
