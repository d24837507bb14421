// Leaf values and paths: text forms, strict conversion, setters, XML escaping,
// canonical paths and type names.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>
#include <velt++.h>

#include "c/validate.h"

namespace {

using toolkit::CElement;
using strings = std::vector<std::string>;
using namespace std::string_literals;

template <typename T>
CElement of(void (CElement::*set)(T) noexcept, T v) {
    CElement e;
    (e.*set)(v);
    return e;
}
CElement raw(data_type_t type, const std::string& bytes) {
    CElement e;
    EXPECT_EQ(e.set_bytes(type, bytes), 0);
    return e;
}
CElement ip6(std::initializer_list<unsigned> words) {
    std::string b;
    for (unsigned w : words) b += {static_cast<char>(w >> 8), static_cast<char>(w & 0xff)};
    return raw(DATATYPE_IPV6, b);
}

// Texts that are not valid UTF-8 text: refused as strings and in paths alike.
const strings bad_text = {"\xff",         "\xc0\x80",     "\xf0\x8f\xbf\xbf", "ok\xe2\x82",
                          "\xed\xb0\x80", "\xef\xbf\xbf", "\xf4\x90\x80\x80", "a\x01",
                          "a\x7f",        "a\0b"s};

TEST(Element, TextFormsRoundTrip) {
    const double inf = std::numeric_limits<double>::infinity();
    CElement none;
    none.set_none();
    const std::vector<std::pair<CElement, std::string>> cases = {
        {of(&CElement::set_bool, true), "true"},
        {of(&CElement::set_bool, false), "false"},
        {of(&CElement::set_int32, INT32_MIN), "-2147483648"},
        {of(&CElement::set_uint32, UINT32_MAX), "4294967295"},
        {of(&CElement::set_int64, INT64_MIN), "-9223372036854775808"},
        {of(&CElement::set_uint64, UINT64_MAX), "18446744073709551615"},
        {of(&CElement::set_double, -0.0), "-0"},
        {of(&CElement::set_double, 0.1 + 0.2), "0.30000000000000004"},
        {of(&CElement::set_double, 1e21), "1e+21"},
        {of(&CElement::set_double, -inf), "-inf"},
        {raw(DATATYPE_IPV4, "\xc0\x00\x02\x01"s), "192.0.2.1"},
        // A single zero group stays; the longest run goes, the first of equal ones.
        {ip6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},
        {ip6({0x2001, 0, 0, 1, 0, 0, 0, 1}), "2001:0:0:1::1"},
        {ip6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},
        // IPv4-mapped in mixed notation; IPv4-compatible in hex.
        {ip6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x201}), "::ffff:192.0.2.1"},
        {ip6({0, 0, 0, 0, 0, 0, 0xc000, 0x201}), "::c000:201"},
        {raw(DATATYPE_MAC, "\x02\x00\x5e\xAB\xcd\xff"s), "02:00:5e:ab:cd:ff"},
        {raw(DATATYPE_BINARY, "\x00\xff\x10\xab"s), "00ff10ab"},
        {raw(DATATYPE_STRING, "tab\there\r\nZürich \xf4\x8f\xbf\xbf"),
         "tab\there\r\nZürich \xf4\x8f\xbf\xbf"},
        {none, ""}};
    for (const auto& [value, text] : cases) {
        SCOPED_TRACE(std::string(vlt_enum_to_str(value.type())) + " \"" + text + "\"");
        EXPECT_EQ(value.to_string(), text);
        CElement back = raw(DATATYPE_STRING, text), same = value;
        back.timestamp() = {123, 456};
        ASSERT_EQ(back.convert_type(value.type()) + same.convert_type(value.type()), 0);
        EXPECT_TRUE(back.same_value(value) && same.same_value(value));
        EXPECT_EQ(back.timestamp().tv_usec, 456);
    }
    // NaN reads back as NaN; zeros keep their sign, compared bit for bit.
    CElement nan = raw(DATATYPE_STRING, "nan");
    ASSERT_EQ(nan.convert_type(DATATYPE_DOUBLE), 0);
    EXPECT_TRUE(std::isnan(nan.get_double()));
    EXPECT_EQ(of(&CElement::set_double, -std::numeric_limits<double>::quiet_NaN()).to_string(), "nan");
    EXPECT_FALSE(of(&CElement::set_double, -0.0).same_value(of(&CElement::set_double, 0.0)));
}

// Anything but the exact text form is refused, and the value stays as it was.
TEST(Element, StrictConversionRefuses) {
    const std::vector<std::pair<data_type_t, strings>> refused = {
        {DATATYPE_BOOL, {"True", "1"}},
        {DATATYPE_INT32, {" 1", "+1", "01", "-0", "1x", "", "1\0"s, "2147483648"}},
        {DATATYPE_UINT32, {"-1", "4294967296"}},
        {DATATYPE_DOUBLE, {"1.50", ".5", "1e21", "NaN", "0x1p3", "0.10000000000000001"}},
        {DATATYPE_IPV4, {"1.2.3", "01.2.3.4"}},
        {DATATYPE_IPV6, {"2001:DB8::1", "::ffff:c000:201", std::string(100, '1')}},
        {DATATYPE_MAC, {"AA:BB:CC:DD:EE:FF", "aa-bb-cc-dd-ee-ff", "aa:bb:cc:dd:ee", "a:bb:cc:dd:ee:ff0"}},
        {DATATYPE_BINARY, {"0", "ABCD", "0g"}},
        {DATATYPE_STRING, bad_text},
        {DATATYPE_NONE, {"x"}},
        {DATATYPE_INVALID, {""}},
        {static_cast<data_type_t>(13), {"1"}}};
    for (const auto& [type, texts] : refused) {
        for (const auto& text : texts) {
            SCOPED_TRACE("type " + std::to_string(type) + " \"" + text + "\"");
            CElement e = raw(DATATYPE_STRING, text);
            e.timestamp() = {7, 8};
            EXPECT_NE(e.convert_type(type), 0);
            EXPECT_EQ(e.type(), DATATYPE_STRING);
            EXPECT_EQ(e.get_bytes(), text);
            EXPECT_EQ(e.timestamp().tv_sec, 7);
        }
    }
}

// Setters keep the timestamp; wrong lengths change nothing; payloads taken
// from the value itself survive their replacement.
TEST(Element, SettersKeepTimeAndSurviveAliasing) {
    CElement e;
    e.timestamp() = {10, 20};
    e.set_int32(-5);
    EXPECT_NE(e.set_bytes(DATATYPE_IPV6, std::string(4, 'x')), 0);
    EXPECT_EQ(e.get_int32(), -5);
    e.set_string("a string long enough to live outside any small buffer");
    e.set_string(e.get_bytes().substr(2, 6));
    EXPECT_EQ(e.get_bytes(), "string");
    ASSERT_EQ(e.set_bytes(DATATYPE_IPV6, std::string(16, 'z')), 0);
    ASSERT_EQ(e.set_bytes(DATATYPE_MAC, e.get_bytes().substr(0, 6)), 0);
    EXPECT_EQ(e.get_bytes(), std::string(6, 'z'));
    EXPECT_EQ(e.timestamp().tv_usec, 20);
    // A copy given a time takes it, unless the time has seconds -1.
    EXPECT_EQ(CElement(e, timeval{200, 9}).timestamp().tv_sec, 200);
    EXPECT_TRUE(CElement(e, timeval{-1, 9}) == e);
}

// The five entities and three character references, each alone and all
// together, and nothing else touched.
TEST(XmlEscape, ReplacesTheReservedCharactersAndWhiteSpace) {
    std::string plain = "\xc2\x80 é \xdf\xbf \xe0\xa0\x80 € \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf";
    for (char c = 0x20; c < 0x7f; ++c)
        plain += std::string_view("&<>\"'").find(c) == std::string_view::npos ? std::string(1, c) : "";
    const strings raw = {"&", "<", ">", "\"", "'", "\t", "\n", "\r"},
                  escaped = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#9;", "&#10;", "&#13;"};
    std::string all_raw, all_escaped;
    for (size_t i = 0; i <= raw.size(); ++i) {
        const bool all = i == raw.size();
        std::string t = plain + (all ? all_raw : raw[i]) + plain;
        ASSERT_TRUE(CElement::valid_string(t));
        CElement::xml_escape(t);
        EXPECT_EQ(t, plain + (all ? all_escaped : escaped[i]) + plain) << i;
        if (!all) all_raw += raw[i], all_escaped += escaped[i];
    }
    std::string untouched = plain;
    CElement::xml_escape(untouched);
    EXPECT_EQ(untouched, plain);
}

TEST(Path, Canonicalize) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "/"}, {"///", "/"}, {"a//", "/a"}, {"/a//b///c/", "/a/b/c"}, {"/a\0b//c"s, "/a\0b/c"s}};
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE("input \"" + in + "\"");
        std::string s = in;
        CElement::canonicalize_path(s);
        EXPECT_EQ(s, out);
        CElement::canonicalize_path(s);  // canonical paths stay as they are
        EXPECT_EQ(s, out);
        // The C call gets len + 1 bytes of room; the guard byte after them stays.
        std::vector<char> buf(in.begin(), in.end());
        buf.insert(buf.end(), {'#', '!'});
        EXPECT_EQ(std::string(buf.data(), vlt_canonicalize_path(buf.data(), in.size())), out);
        EXPECT_EQ(buf.back(), '!');
    }
    EXPECT_EQ(vlt_canonicalize_path(nullptr, 0), 0u);
}

TEST(Path, ValidCanonicalPath) {
    for (const std::string p : {"/", "/a/b/c", "/Zürich/Genève", "/\xf4\x8f\xbf\xbf", "/.."})
        EXPECT_TRUE(velt::valid_canonical_path(p)) << p;
    strings bad = {"", "a/b", "/a/", "/a//b", "/a\tb", "/\xe2\x82/x"};
    for (const auto& t : bad_text) bad.push_back("/" + t);
    for (const auto& p : bad) EXPECT_FALSE(velt::valid_canonical_path(p)) << p;
}

TEST(TypeNames, EveryCodeRoundTripsAndNothingElseIsKnown) {
    const strings names = {"bool",   "int32", "uint32", "int64", "uint64", "string",
                           "double", "ipv4",  "ipv6",   "mac",   "binary", "none"};
    for (int code = 1; code <= 12; ++code) {
        const char* name = vlt_enum_to_str(static_cast<data_type_t>(code));
        EXPECT_EQ(name ? name : "", names[code - 1]);
        EXPECT_EQ(vlt_str_to_enum(names[code - 1].c_str()), code);
    }
    for (int code : {0, 13, -1}) EXPECT_EQ(vlt_enum_to_str(static_cast<data_type_t>(code)), nullptr) << code;
    EXPECT_EQ(CElement::_invalid, "invalid");
    for (const char* name : {"invalid", "", "Bool", "bool ", "nonee", static_cast<const char*>(nullptr)})
        EXPECT_EQ(vlt_str_to_enum(name), DATATYPE_INVALID) << (name ? name : "null");
}

}  // namespace
