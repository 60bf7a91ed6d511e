#include "platform/hid/hid_descriptor.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/support/fake_hid_bus.h"

namespace {

std::optional<HidCaps> Parse(const Bytes& d) {
    return ParseTopLevelCollection(d);
}

void ExpectCaps(const Bytes& d, std::uint16_t page, std::uint16_t usage) {
    auto caps = Parse(d);
    ASSERT_TRUE(caps.has_value());
    EXPECT_EQ(caps->usagePage, page);
    EXPECT_EQ(caps->usage, usage);
}

TEST(HidDescriptor, TopLevelCollectionOfRealDescriptors) {
    ExpectCaps(kIrReceiverDescriptor, 0xFF00, 0x0000);
    ExpectCaps(kGamePadDescriptor, 0x0001, 0x0005);
    ExpectCaps(kVendorUsage1Descriptor, 0xFF00, 0x0001);
    ExpectCaps(kKeyboardDescriptor, 0x0001, 0x0006);
}

TEST(HidDescriptor, ItemRules) {
    // A 4-byte usage carries its own page, whatever the current Usage Page says.
    ExpectCaps({0x06, 0x00, 0xFF, 0x0B, 0x05, 0x00, 0x01, 0x00, 0xA1, 0x01, 0xC0}, 0x0001, 0x0005);
    // Pop restores the page pushed before.
    ExpectCaps({0x05, 0x01, 0xA4, 0x06, 0x00, 0xFF, 0xB4, 0x09, 0x05, 0xA1, 0x01, 0xC0}, 0x0001,
               0x0005);
    // A long item is skipped whole, its data included.
    ExpectCaps({0xFE, 0x03, 0x10, 0xA1, 0x01, 0xC0, 0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0},
               0x0001, 0x0005);
    // The first of several Usages names the collection; the locals go with a main item.
    ExpectCaps({0x05, 0x01, 0x09, 0x05, 0x09, 0x04, 0xA1, 0x01, 0xC0}, 0x0001, 0x0005);
    ExpectCaps({0x05, 0x01, 0x09, 0x02, 0x81, 0x02, 0xA1, 0x01, 0xC0}, 0x0001, 0x0000);
    // The first top-level collection wins over nested and later ones.
    ExpectCaps({0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x09, 0x02, 0xA1, 0x00,
                0xC0, 0xC0, 0x06, 0x00, 0xFF, 0x09, 0x00, 0xA1, 0x01, 0xC0},
               0x0001, 0x0005);
    // 2-byte usage data.
    ExpectCaps({0x06, 0x00, 0xFF, 0x0A, 0x34, 0x12, 0xA1, 0x01, 0xC0}, 0xFF00, 0x1234);
}

// Fields at their bit offsets, usages from lists and ranges, Push/Pop of the report
// ID, values read from report bytes only where the report has them.
TEST(HidDescriptor, ReportLayout) {
    const auto keyboard = ParseReportLayout(kKeyboardDescriptor);
    ASSERT_TRUE(keyboard.has_value());
    EXPECT_FALSE(keyboard->numbered);
    EXPECT_EQ(keyboard->ReportBytes(HidReportType::Input, 0), 8u);
    EXPECT_EQ(keyboard->ReportBytes(HidReportType::Output, 0), 0u);
    std::uint32_t index = 0;
    const HidField* shift = keyboard->FindUsage(HidReportType::Input, 0, 0x000700E1, &index);
    ASSERT_NE(shift, nullptr);
    EXPECT_EQ(shift->bitOffset, 0u);
    EXPECT_EQ(index, 1u);
    const Bytes report = {0x02, 0x00, 0x04, 0, 0, 0, 0, 0};  // left shift, key A
    EXPECT_EQ(HidFieldValue(report, *keyboard, *shift, index), 1u);
    EXPECT_EQ(HidFieldValue(report, *keyboard, *shift, 0), 0u);
    ASSERT_EQ(keyboard->fields.size(), 3u);
    const HidField& keys = keyboard->fields[2];  // an array: no usage of its own to find
    EXPECT_FALSE(keys.variable);
    EXPECT_EQ(keys.bitOffset, 16u);
    EXPECT_EQ(HidFieldValue(report, *keyboard, keys, 0), 0x04u);
    EXPECT_FALSE(HidFieldValue(report, *keyboard, keys, 6).has_value());    // past the count
    EXPECT_FALSE(HidFieldValue(Bytes(2), *keyboard, keys, 0).has_value());  // short report
    EXPECT_EQ(keys.logicalMaximum, 0x65);

    // Report 1 (one byte) pushed, report 2 (two bytes), popped back to report 1; a
    // 4-byte usage keeps its page; a maximum reads unsigned over a minimum of 0.
    const Bytes numbered = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08,
                            0x95, 0x01, 0x15, 0x00, 0x25, 0xFF, 0x09, 0x30, 0x81, 0x02,
                            0xA4, 0x85, 0x02, 0x95, 0x02, 0x0B, 0x01, 0x00, 0x09, 0x00,
                            0x81, 0x02, 0xB4, 0x09, 0x31, 0x81, 0x02, 0xC0};
    const auto layout = ParseReportLayout(numbered);
    ASSERT_TRUE(layout.has_value());
    EXPECT_TRUE(layout->numbered);
    EXPECT_EQ(layout->ReportBytes(HidReportType::Input, 1), 3u);
    EXPECT_EQ(layout->ReportBytes(HidReportType::Input, 2), 3u);
    EXPECT_EQ(layout->ReportBytes(HidReportType::Input, 3), 0u);
    const HidField* y = layout->FindUsage(HidReportType::Input, 1, 0x00010031, &index);
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->bitOffset, 8u);
    EXPECT_EQ(y->logicalMaximum, 255);
    EXPECT_EQ(HidFieldValue(Bytes{0x01, 0x10, 0xFE}, *layout, *y, index), 0xFEu);
    const HidField* extended = layout->FindUsage(HidReportType::Input, 2, 0x00090001, &index);
    ASSERT_NE(extended, nullptr);
    EXPECT_EQ(extended->UsageOf(1), 0x00090001u);  // the last usage repeats
}

TEST(HidDescriptor, EveryTruncationIsRejected) {
    for (const Bytes* d : {&kIrReceiverDescriptor, &kGamePadDescriptor, &kKeyboardDescriptor}) {
        EXPECT_TRUE(ParseReportLayout(*d).has_value());
        for (std::size_t n = 0; n < d->size(); ++n) {
            const Bytes prefix(d->begin(), d->begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_FALSE(Parse(prefix).has_value()) << "prefix of " << n << " bytes";
            EXPECT_FALSE(ParseReportLayout(prefix).has_value()) << "prefix of " << n << " bytes";
        }
    }
}

TEST(HidDescriptor, HostileDescriptorsAreRejected) {
    const Bytes cases[] = {
        {0x05, 0x01},                                      // no collection at all
        {0xB4, 0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0},  // Pop without Push
        {0xC0, 0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0},  // End Collection first
        {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0, 0xC0},  // one End Collection too many
        {0x0C, 0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0},  // reserved item type
        {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0, 0xFE, 0x05, 0x10, 0x01},  // long item past end
        {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0, 0xFE, 0x00},              // long item header cut
        {0x07, 0x00, 0xFF, 0x01, 0x00, 0x09, 0x00, 0xA1, 0x01, 0xC0},  // page wider than 16 bits
        {0x0B, 0x00, 0x00, 0x00, 0x00},                          // 4-byte item cut... then nothing
        {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x27, 0xFF, 0xFF},  // 4-byte data cut at end
    };
    for (const Bytes& d : cases) {
        EXPECT_FALSE(Parse(d).has_value());
        EXPECT_FALSE(ParseReportLayout(d).has_value());
    }

    // Fields the kernel refuses: Report ID 0 or over 255, a size over 256 bits, a count
    // over 12288, a report of 16384 bytes or more.
    const Bytes fields[] = {
        {0xA1, 0x01, 0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0},
        {0xA1, 0x01, 0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0},
        {0xA1, 0x01, 0x76, 0x01, 0x01, 0x95, 0x01, 0x81, 0x02, 0xC0},
        {0xA1, 0x01, 0x75, 0x01, 0x96, 0x01, 0x30, 0x81, 0x02, 0xC0},
        {0xA1, 0x01, 0x75, 0x08, 0x96, 0x00, 0x10, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02,
         0xC0},
    };
    for (const Bytes& d : fields) {
        EXPECT_TRUE(Parse(d).has_value());
        EXPECT_FALSE(ParseReportLayout(d).has_value());
    }

    Bytes pushes(17, 0xA4);  // one Push deeper than kept
    pushes.insert(pushes.end(), {0x09, 0x05, 0xA1, 0x01, 0xC0});
    EXPECT_FALSE(Parse(pushes).has_value());

    Bytes deep;
    for (int i = 0; i < 1000; ++i)
        deep.insert(deep.end(), {0xA1, 0x00});
    for (int i = 0; i < 1000; ++i)
        deep.push_back(0xC0);
    EXPECT_FALSE(Parse(deep).has_value());
}

TEST(HidDescriptor, UeventIds) {
    auto ids = ParseHidIdFromUevent(OrvaneUevent());
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->vendorId, 0x0471);
    EXPECT_EQ(ids->productId, 0x0606);

    ids = ParseHidIdFromUevent("HID_ID=0005:0000046d:0000b01a");  // lower case, no newline
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->vendorId, 0x046D);
    EXPECT_EQ(ids->productId, 0xB01A);

    for (const char* bad : {
             "",
             "DRIVER=hid-generic\n",
             "XHID_ID=0003:00000471:00000606\n",
             "HID_ID=0003:00000471\n",
             "HID_ID=0003:00000471:0000060G\n",
             "HID_ID=0003::00000606\n",
             "HID_ID=0003:000000471:00000606\n",  // nine digits
             "HID_ID=0003:00010471:00000606\n",   // vendor wider than 16 bits
             "HID_ID=0003:00000471:00000606 \n",
         }) {
        EXPECT_FALSE(ParseHidIdFromUevent(bad).has_value()) << bad;
    }
}

}  // namespace
