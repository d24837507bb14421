// Paths: canonical form and the store's path check; type names.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <velt++.h>

#include "c/validate.h"

namespace {

TEST(Path, Canonicalize) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "/"},
        {"///", "/"},
        {"a", "/a"},
        {"a//", "/a"},
        {"/a", "/a"},
        {"/a//b///c/", "/a/b/c"},
        {"/a b/ c ", "/a b/ c "},
        {"Zürich//Genève/", "/Zürich/Genève"},
        {std::string("/a\0b//c", 7), std::string("/a\0b/c", 6)}};
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE("input \"" + in + "\"");
        std::string s = in;
        toolkit::CElement::canonicalize_path(s);
        EXPECT_EQ(s, out);
        toolkit::CElement::canonicalize_path(s);  // canonical paths stay as they are
        EXPECT_EQ(s, out);
        // The C call gets len + 1 bytes of room; the guard byte after them stays.
        std::vector<char> buf(in.begin(), in.end());
        buf.push_back('#');
        buf.push_back('!');
        const size_t n = vlt_canonicalize_path(buf.data(), in.size());
        EXPECT_EQ(std::string(buf.data(), n), out);
        EXPECT_EQ(buf.back(), '!');
    }
    EXPECT_EQ(vlt_canonicalize_path(nullptr, 0), 0u);
}

TEST(Path, ValidCanonicalPath) {
    const std::vector<std::string> good = {"/",  "/a/b/c", "/a b", "/Zürich/Genève", "/\xf4\x8f\xbf\xbf",
                                           "/.."};
    const std::vector<std::string> bad = {"",
                                          "a/b",
                                          "/a/",
                                          "/a//b",
                                          "/a\tb",
                                          "/a\x7f",
                                          std::string("/a\0b", 4),
                                          "/\xff",
                                          "/\xc0\x80",          // overlong
                                          "/\xed\xa0\x80",      // surrogate
                                          "/\xef\xbf\xbf",      // U+FFFF
                                          "/\xf4\x90\x80\x80",  // above U+10FFFF
                                          "/\xe2\x82/x"};       // truncated
    for (const auto& p : good) EXPECT_TRUE(velt::valid_canonical_path(p)) << p;
    for (const auto& p : bad) EXPECT_FALSE(velt::valid_canonical_path(p)) << p;
}

TEST(TypeNames, EveryCodeRoundTripsAndNothingElseIsKnown) {
    const char* names[] = {"bool",   "int32", "uint32", "int64", "uint64", "string",
                           "double", "ipv4",  "ipv6",   "mac",   "binary", "none"};
    for (int code = 1; code <= 12; ++code) {
        const auto t = static_cast<data_type_t>(code);
        ASSERT_NE(vlt_enum_to_str(t), nullptr) << code;
        EXPECT_STREQ(vlt_enum_to_str(t), names[code - 1]);
        EXPECT_EQ(vlt_str_to_enum(names[code - 1]), t);
    }
    for (int code : {0, 13, -1}) EXPECT_EQ(vlt_enum_to_str(static_cast<data_type_t>(code)), nullptr) << code;
    EXPECT_EQ(toolkit::CElement::_invalid, "invalid");
    for (const char* name : {"invalid", "", "Bool", "INT32", "bool ", " bool", "int", "nonee"})
        EXPECT_EQ(vlt_str_to_enum(name), DATATYPE_INVALID) << '"' << name << '"';
    EXPECT_EQ(vlt_str_to_enum(nullptr), DATATYPE_INVALID);
}

}  // namespace
