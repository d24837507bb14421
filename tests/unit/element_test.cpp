// Leaf values: text forms, strict conversion, setters and timestamps, and
// XML escaping checked against a real XML parser.
#include <expat.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>
#include <velt++.h>

namespace {

using toolkit::CElement;

template <typename F>
CElement make(F set) {
    CElement e;
    set(e);
    return e;
}
CElement i32(int32_t v) {
    return make([v](CElement& e) { e.set_int32(v); });
}
CElement i64(int64_t v) {
    return make([v](CElement& e) { e.set_int64(v); });
}
CElement u64(uint64_t v) {
    return make([v](CElement& e) { e.set_uint64(v); });
}
CElement dbl(double v) {
    return make([v](CElement& e) { e.set_double(v); });
}
CElement str(const std::string& v) {
    return make([&v](CElement& e) { e.set_string(v); });
}
CElement raw(data_type_t type, const std::string& bytes) {
    return make([&](CElement& e) { EXPECT_EQ(e.set_bytes(type, bytes), 0); });
}
CElement ip6(std::initializer_list<unsigned> words) {
    std::string b;
    for (unsigned w : words) b += {static_cast<char>(w >> 8), static_cast<char>(w & 0xff)};
    return raw(DATATYPE_IPV6, b);
}

struct text_case {
    CElement value;
    std::string text;
};

std::vector<text_case> text_cases() {
    using lim = std::numeric_limits<double>;
    return {{make([](CElement& e) { e.set_bool(true); }), "true"},
            {make([](CElement& e) { e.set_bool(false); }), "false"},
            {i32(INT32_MIN), "-2147483648"},
            {make([](CElement& e) { e.set_uint32(UINT32_MAX); }), "4294967295"},
            {i64(INT64_MIN), "-9223372036854775808"},
            {u64(UINT64_MAX), "18446744073709551615"},
            {dbl(-0.0), "-0"},
            {dbl(0.1), "0.1"},
            {dbl(1e21), "1e+21"},
            {dbl(lim::max()), "1.7976931348623157e+308"},
            {dbl(lim::denorm_min()), "5e-324"},
            {dbl(-lim::infinity()), "-inf"},
            {raw(DATATYPE_IPV4, std::string("\xc0\x00\x02\x01", 4)), "192.0.2.1"},
            {ip6({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
            // A single zero group stays; the longest run goes, the first of equal ones.
            {ip6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},
            {ip6({0x2001, 0, 0, 1, 0, 0, 0, 1}), "2001:0:0:1::1"},
            {ip6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},
            // IPv4-mapped in mixed notation; IPv4-compatible in hex.
            {ip6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x201}), "::ffff:192.0.2.1"},
            {ip6({0, 0, 0, 0, 0, 0, 0xc000, 0x201}), "::c000:201"},
            {raw(DATATYPE_MAC, std::string("\x02\x00\x5e\xAB\xcd\xff", 6)), "02:00:5e:ab:cd:ff"},
            {raw(DATATYPE_BINARY, std::string("\x00\xff\x10\xab", 4)), "00ff10ab"},
            {str("tab\there\r\nZürich \xf4\x8f\xbf\xbf"), "tab\there\r\nZürich \xf4\x8f\xbf\xbf"},
            {make([](CElement& e) { e.set_none(); }), ""}};
}

TEST(Element, TextFormsRoundTrip) {
    for (const auto& c : text_cases()) {
        SCOPED_TRACE(std::string(vlt_enum_to_str(c.value.type())) + " \"" + c.text + "\"");
        EXPECT_EQ(c.value.to_string(), c.text);
        CElement back = str(c.text);
        back.timestamp() = {123, 456};
        ASSERT_EQ(back.convert_type(c.value.type()), 0);
        EXPECT_TRUE(back.same_value(c.value));
        EXPECT_EQ(back.timestamp().tv_usec, 456);
        CElement same = c.value;  // to its own type: unchanged
        ASSERT_EQ(same.convert_type(c.value.type()), 0);
        EXPECT_TRUE(same.same_value(c.value));
    }
    // NaN reads back as NaN; zeros keep their sign, compared bit for bit.
    EXPECT_EQ(dbl(-std::numeric_limits<double>::quiet_NaN()).to_string(), "nan");
    CElement e = str("nan");
    ASSERT_EQ(e.convert_type(DATATYPE_DOUBLE), 0);
    EXPECT_TRUE(std::isnan(e.get_double()));
    EXPECT_FALSE(dbl(-0.0).same_value(dbl(0.0)));
}

TEST(Element, StrictConversionRefuses) {
    const std::vector<std::pair<data_type_t, std::vector<std::string>>> refused = {
        {DATATYPE_BOOL, {"True", "1", "true "}},
        {DATATYPE_INT32, {" 1", "+1", "01", "-0", "1x", "", std::string("1\0", 2), "2147483648"}},
        {DATATYPE_UINT32, {"-1", "4294967296"}},
        {DATATYPE_INT64, {"-9223372036854775809"}},
        {DATATYPE_UINT64, {"18446744073709551616", "1e3"}},
        {DATATYPE_DOUBLE,
         {"1.50", "1.5e0", ".5", "1e21", "1e400", "NaN", "Inf", "0x1p3", "0.10000000000000001"}},
        {DATATYPE_IPV4, {"1.2.3", "01.2.3.4", "256.1.1.1", "::1"}},
        {DATATYPE_IPV6,
         {"2001:DB8::1", "2001:db8:0::1", "2001:0db8::1", "2001:db8::0:1", "::ffff:c000:201", "::192.0.2.1",
          "fe80::1%eth0", "1:2:3:4:5:6:7:8:9", std::string(100, '1')}},
        {DATATYPE_MAC, {"AA:BB:CC:DD:EE:FF", "aa-bb-cc-dd-ee-ff", "aa:bb:cc:dd:ee", "a:bb:cc:dd:ee:ff0"}},
        {DATATYPE_BINARY, {"0", "ABCD", "0g"}},
        // Not UTF-8 or not text: a bad lead byte, an overlong form, a cut-off
        // sequence, a surrogate, U+FFFF, control characters.
        {DATATYPE_STRING,
         {"\xff", "\xf0\x8f\xbf\xbf", "ok\xe2\x82", "\xed\xb0\x80", "\xef\xbf\xbf", "a\x01", "a\x7f",
          std::string("a\0b", 3)}},
        {DATATYPE_NONE, {"x"}},
        {DATATYPE_INVALID, {""}},
        {static_cast<data_type_t>(13), {"1"}}};
    for (const auto& [type, texts] : refused) {
        for (const auto& text : texts) {
            SCOPED_TRACE("type " + std::to_string(type) + " \"" + text + "\"");
            CElement e;
            e.timestamp() = {7, 8};
            e.set_string(text);
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

// Parses `doc` and collects the attribute `v` of the root and its text.
struct xml_result {
    bool ok = false;
    std::string attr;
    std::string text;
};

xml_result parse_xml(const std::string& doc) {
    xml_result r;
    XML_Parser p = XML_ParserCreate("UTF-8");
    XML_SetUserData(p, &r);
    XML_SetElementHandler(
        p,
        [](void* ud, const XML_Char*, const XML_Char** atts) {
            auto* res = static_cast<xml_result*>(ud);
            for (int i = 0; atts[i] != nullptr; i += 2) {
                if (std::string(atts[i]) == "v") res->attr = atts[i + 1];
            }
        },
        [](void*, const XML_Char*) {});
    XML_SetCharacterDataHandler(p, [](void* ud, const XML_Char* s, int len) {
        static_cast<xml_result*>(ud)->text.append(s, static_cast<size_t>(len));
    });
    r.ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return r;
}

TEST(XmlEscape, SurvivesXmlParserByteForByte) {
    // Every byte a store string may hold, plus characters of every UTF-8 length
    // and white space patterns that XML would otherwise normalise.
    std::string all = "\t\n\r";
    for (int c = 0x20; c < 0x7f; ++c) all.push_back(static_cast<char>(c));
    all += "\xc2\x80 \xc2\xa0 é \xdf\xbf \xe0\xa0\x80 € \xed\x9f\xbf \xee\x80\x80 \xef\xbf\xbd ";
    all += "\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf";
    const std::vector<std::string> texts = {all, "", " leading and trailing ", "a\r\nb\n\rc", "&#10; ]]>"};
    for (const auto& t : texts) {
        SCOPED_TRACE('"' + t + '"');
        ASSERT_TRUE(CElement::valid_string(t));
        std::string esc = t;
        CElement::xml_escape(esc);
        const auto r = parse_xml("<r v=\"" + esc + "\">" + esc + "</r>");
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.attr, t);
        EXPECT_EQ(r.text, t);
    }
}

}  // namespace
