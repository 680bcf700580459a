// The ZIP reader over hand-made archives: the directory walk, the data of stored and deflated
// entries, and every kind of damage it must report instead of reading out of bounds.

#include <gtest/gtest.h>

#include "documents/zip_archive.h"
#include "support/test_support.h"
#include "zip_test_archive.h"

namespace qm {
namespace {

using test::buildZip;
using test::bytesOf;
using test::TestArchive;
using test::TestEntry;
using test::textOf;
using Kind = ZipArchive::ZipError::Kind;

ZipArchive open(const std::string& bytes) { return ZipArchive(bytesOf(bytes)); }

// Runs `f` and returns the ZipError it throws (failing the test when it throws nothing).
template <typename F>
ZipArchive::ZipError errorOf(F&& f) {
    try {
        f();
    } catch (const ZipArchive::ZipError& e) {
        return e;
    }
    ADD_FAILURE() << "no ZipError thrown";
    return ZipArchive::ZipError::notAZip();
}

TEST(ZipArchive, SmallestFiles) {
    EXPECT_EQ(errorOf([] { open(std::string(21, '\0')); }).kind(), Kind::notAZip);
    EXPECT_EQ(errorOf([] { open(std::string(4096, 'x')); }).kind(), Kind::notAZip);

    const ZipArchive empty = open(buildZip({}));
    EXPECT_TRUE(empty.entries().empty());
    const auto e = errorOf([&] { empty.entryData("word/document.xml"); });
    EXPECT_EQ(e.kind(), Kind::corrupt);
    EXPECT_STREQ(e.what(), "The document is damaged (word/document.xml).");
}

TEST(ZipArchive, StoredDeflatedAndEmptyEntries) {
    std::string big;
    for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + "\n";
    const ZipArchive zip = open(buildZip({{{"a.txt", big, 8},
                                           {"b.bin", "stored bytes", 0},
                                           {"empty-deflated", "", 8},
                                           {"empty-stored", "", 0}}}));
    ASSERT_EQ(zip.entries().size(), 4u);
    EXPECT_EQ(textOf(zip.entryData("a.txt")), big);
    EXPECT_EQ(textOf(zip.entryData("b.bin")), "stored bytes");
    EXPECT_TRUE(zip.entryData("empty-deflated").empty());
    EXPECT_TRUE(zip.entryData("empty-stored").empty());
    EXPECT_EQ(zip.entries().at("a.txt").method, 8);
    EXPECT_EQ(zip.entries().at("a.txt").size, static_cast<std::int64_t>(big.size()));
    // Names are exact: no case folding, no leading slash handling.
    EXPECT_FALSE(zip.contains("A.txt"));
    EXPECT_FALSE(zip.contains("/a.txt"));
}

TEST(ZipArchive, EndRecordSearch) {
    // The longest comment still leaves the end record within reach.
    const std::string longest(65535, 'c');
    EXPECT_EQ(open(buildZip({{{"a", "x", 0}}, longest})).entries().size(), 1u);

    // An end record followed by more than a comment's worth of bytes is not found.
    EXPECT_EQ(errorOf([] { open(buildZip({{{"a", "x", 0}}}) + std::string(65536, '\0')); }).kind(), Kind::notAZip);

    // A signature inside the comment is nearer to the end, so it wins: here it points the walk
    // at an empty directory.
    std::string fakeEnd;
    test::put32(fakeEnd, 0x06054B50);
    fakeEnd += std::string(18, '\0');
    EXPECT_TRUE(open(buildZip({{{"a", "x", 0}}, "<" + fakeEnd + ">"})).entries().empty());
}

TEST(ZipArchive, DirectoryRecords) {
    // A later record with the same name replaces the earlier one.
    EXPECT_EQ(textOf(open(buildZip({{{"same", "first", 0}, {"same", "second", 0}}})).entryData("same")), "second");

    // Invalid UTF-8 is stored with U+FFFD in its place.
    const ZipArchive odd = open(buildZip({{{"bad\xFFname", "x", 0}}}));
    EXPECT_TRUE(odd.contains("bad\xEF\xBF\xBDname"));
    EXPECT_EQ(textOf(odd.entryData("bad\xEF\xBF\xBDname")), "x");

    // A longer extra field in the local header than in the directory still reads from the right place.
    TestEntry extra{"e", "payload", 8};
    extra.localExtra = std::string(37, '\x01');
    EXPECT_EQ(textOf(open(buildZip({{extra}})).entryData("e")), "payload");

    // More records announced than written, a directory offset past the end or the ZIP64
    // placeholder, and a name whose length reaches beyond the file all break the directory.
    TestArchive missing{{{"a", "x", 0}}}, beyond{{{"a", "x", 0}}}, zip64{{{"a", "x", 0}}};
    missing.recordedCount = 2;
    beyond.directoryOffset = 1000000;
    zip64.directoryOffset = 0xFFFFFFFF;
    std::string longName = buildZip({{{"name", "x", 0}}});
    const std::size_t central = longName.find("PK\x01\x02");
    longName[central + 28] = '\xFF';
    longName[central + 29] = '\x7F';
    std::string badSignature = buildZip({{{"a", "x", 0}}});
    badSignature[badSignature.find("PK\x01\x02") + 1] = 'Q';
    for (const std::string& bytes : {buildZip(missing), buildZip(beyond), buildZip(zip64), longName, badSignature}) {
        const auto e = errorOf([&] { open(bytes); });
        EXPECT_EQ(e.kind(), Kind::corrupt);
        EXPECT_EQ(e.payload(), "directory");
    }
}

TEST(ZipArchive, DamagedEntries) {
    TestEntry farOffset{"far", "x", 0};
    farOffset.offset = 0x7FFFFFF0;
    TestEntry zip64Offset{"z64", "x", 0};
    zip64Offset.offset = 0xFFFFFFFF;
    TestEntry longData{"long", "abc", 0};
    longData.compressedSize = 100000;
    TestEntry shortInflate{"short", "abc", 8};
    shortInflate.size = 4;
    TestEntry zip64Size{"z64size", "abc", 8};
    zip64Size.size = 0xFFFFFFFF;
    TestEntry garbage{"garbage", "\xFF\xFF\xFF\xFF not deflate", 9};
    const ZipArchive zip = open(buildZip({{farOffset, zip64Offset, longData, shortInflate, zip64Size, garbage,
                                           {"good", "fine", 8}}}));
    for (const char* name : {"far", "z64", "long", "short", "z64size"}) {
        const auto e = errorOf([&] { zip.entryData(name); });
        EXPECT_EQ(e.kind(), Kind::corrupt) << name;
        EXPECT_EQ(e.payload(), name);
    }
    const auto unsupported = errorOf([&] { zip.entryData("garbage"); });
    EXPECT_EQ(unsupported.kind(), Kind::unsupported);
    EXPECT_STREQ(unsupported.what(), "Unsupported compression in garbage.");
    // A failed read leaves the archive usable.
    EXPECT_EQ(textOf(zip.entryData("good")), "fine");

    // Bytes that are not a DEFLATE stream, marked as deflated.
    std::string bytes = buildZip({{{"bad", std::string("\x07\xFF\xFF\xFF\xFF", 5), 0}}});
    bytes[bytes.find("PK\x01\x02") + 10] = 8;   // method in the directory
    bytes[bytes.find("PK\x01\x02") + 24] = 10;  // a recorded size
    EXPECT_EQ(errorOf([&] { open(bytes).entryData("bad"); }).kind(), Kind::corrupt);

    // A wrong local signature.
    std::string wrongLocal = buildZip({{{"w", "x", 0}}});
    wrongLocal[0] = 'Q';
    EXPECT_EQ(errorOf([&] { open(wrongLocal).entryData("w"); }).payload(), "w");
}

TEST(ZipArchive, RecordedSizes) {
    // Stored entries take the compressed size; for deflated ones decoding stops at the recorded size.
    TestEntry lying{"s", "twelve bytes", 0};
    lying.size = 3;
    TestEntry surplus{"d", "0123456789", 8};
    surplus.size = 4;
    const ZipArchive zip = open(buildZip({{lying, surplus}}));
    EXPECT_EQ(textOf(zip.entryData("s")), "twelve bytes");
    EXPECT_EQ(textOf(zip.entryData("d")), "0123");
}

TEST(ZipArchive, SizeCaps) {
    // A claim beyond the per-entry cap is refused before anything is inflated.
    TestEntry huge{"huge", "abc", 8};
    huge.size = static_cast<std::uint32_t>(ZipArchive::kMaxEntrySize + 1);
    EXPECT_EQ(errorOf([&] { open(buildZip({{huge}})).entryData("huge"); }).payload(), "huge");

    // A claim within the cap that the stream does not back costs nothing and fails.
    TestEntry hollow{"hollow", "abc", 8};
    hollow.size = 200u * 1024 * 1024;
    EXPECT_EQ(errorOf([&] { open(buildZip({{hollow}})).entryData("hollow"); }).payload(), "hollow");

    // Entries that each fit but together pass the per-archive cap: 64 MiB of zeros, read until the
    // archive has handed out its gigabyte.
    const std::string zeros(64u * 1024 * 1024, '\0');
    const ZipArchive zip = open(buildZip({{{"zeros", zeros, 8}}}));
    const std::int64_t allowed = ZipArchive::kMaxArchiveOutput / static_cast<std::int64_t>(zeros.size());
    for (std::int64_t i = 0; i < allowed; ++i) ASSERT_EQ(zip.entryData("zeros").size(), zeros.size()) << i;
    EXPECT_EQ(errorOf([&] { zip.entryData("zeros"); }).payload(), "zeros");
}

TEST(ZipArchive, ChecksumsTellDamagedEntriesButKeepTheirBytes) {
    TestEntry cut{"cut", "0123456789", 8};
    cut.size = 4;  // a recorded size that lies short
    std::string bytes = buildZip({{{"stored", "stored bytes", 0}, {"deflated", "deflated bytes", 8}, cut}});
    EXPECT_TRUE(open(bytes).readEntry("stored").checksumMatches);
    EXPECT_TRUE(open(bytes).readEntry("deflated").checksumMatches);
    EXPECT_FALSE(open(bytes).readEntry("cut").checksumMatches);
    bytes[bytes.find("stored bytes")] = 'S';
    const ZipArchive::Contents flipped = open(bytes).readEntry("stored");
    EXPECT_FALSE(flipped.checksumMatches);
    EXPECT_EQ(textOf(flipped.bytes), "Stored bytes");
}

TEST(ZipArchive, AnOfficeFileEncryptedWithAPasswordIsToldAsSuch) {
    // A compound file whose directory (here its first sector after the header) names the stream
    // Office keeps an encrypted document's keys in; without that stream it is just not a ZIP.
    std::string compound = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(1016, '\0');
    std::string name;
    for (char c : std::string("EncryptionInfo")) name += {c, '\0'};
    EXPECT_EQ(errorOf([&] { open(compound); }).kind(), Kind::notAZip);
    compound.replace(512 + 128, name.size(), name);
    const auto e = errorOf([&] { open(compound); });
    EXPECT_EQ(e.kind(), Kind::passwordProtected);
    EXPECT_STREQ(e.what(), "The Word document is protected by a password. Save a copy without the password and use that.");
}

TEST(ZipArchive, FileErrorsPassThrough) {
    test::TempDir dir;
    EXPECT_THROW(ZipArchive(dir / "missing.docx"), std::system_error);
    test::writeFile(dir / "a.zip", buildZip({{{"a", "x", 8}}}));
    EXPECT_EQ(textOf(ZipArchive(dir / "a.zip").entryData("a")), "x");
}

}  // namespace
}  // namespace qm
