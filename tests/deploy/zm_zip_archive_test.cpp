#include "deploy/ZMZipArchive.h"

#include "ZipFixture.h"
#include "support/Deflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <sys/stat.h>

using namespace deploy;
using namespace deploy::testing;
namespace fs = std::filesystem;

namespace {

struct Recorder : ZMZipArchiveDelegate {
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
    std::vector<std::int64_t> willIndices, didIndices;
    std::vector<std::string> events;
    void zipArchiveWillUnzipArchiveAtPath(const std::string&, const ZipArchiveInfo& info) override {
        events.push_back("will-archive " + std::to_string(info.numberOfEntries));
    }
    void zipArchiveDidUnzipArchiveAtPath(const std::string&, const ZipArchiveInfo&, const std::string&) override {
        events.push_back("did-archive");
    }
    void zipArchiveWillUnzipFileAtIndex(std::int64_t i, std::int64_t, const std::string&, const ZipEntryInfo&) override {
        willIndices.push_back(i);
    }
    void zipArchiveDidUnzipFileAtIndex(std::int64_t i, std::int64_t, const std::string&, const ZipEntryInfo&) override {
        didIndices.push_back(i);
    }
    void zipArchiveProgressEvent(std::int64_t loaded, std::int64_t total) override { progress.emplace_back(loaded, total); }
};

time_t mtimeOf(const std::string& path) {
    struct stat st{};
    lstat(path.c_str(), &st);
    return st.st_mtime;
}

time_t fixtureDate() {
    struct tm parts{};
    parts.tm_year = 120;
    parts.tm_mon = 4;
    parts.tm_mday = 17;
    parts.tm_hour = 10;
    parts.tm_min = 20;
    parts.tm_sec = 30;
    parts.tm_isdst = -1;
    return mktime(&parts);
}

} // namespace

TEST(ZMZipArchive, UnpacksFilesFoldersLinksDatesAndPermissions) {
    TempFolder tmp;
    writeArchive(tmp / "a.zip", {folderEntry("css/"), fileEntry("css/site.css", "body{}"), fileEntry("run.sh", "#!/bin/sh\n", 0755),
                                 fileEntry("win\\dir\\page.html", "<p>"), linkEntry("css/link.css", "site.css"),
                                 linkEntry("up.css", "css/../css/site.css")});
    auto result = ZMZipArchive::unzipFileAtPath(tmp / "a.zip", tmp / "out");
    // "css/../css" has ".." after a descent: refused as a link target.
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, ZMZipArchive::kErrorUnsafeEntry);

    writeArchive(tmp / "b.zip", {folderEntry("css/"), fileEntry("css/site.css", "body{}"), fileEntry("run.sh", "#!/bin/sh\n", 0755),
                                 fileEntry("win\\dir\\page.html", "<p>"), linkEntry("css/link.css", "site.css"),
                                 linkEntry("css/up.css", "../run.sh")});
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "b.zip", tmp / "out2"));
    EXPECT_EQ(readFile(tmp / "out2/css/site.css"), "body{}");
    EXPECT_EQ(readFile(tmp / "out2/win/dir/page.html"), "<p>");
    EXPECT_TRUE(fs::is_symlink(tmp / "out2/css/link.css"));
    EXPECT_EQ(fs::read_symlink(tmp / "out2/css/link.css"), "site.css");
    EXPECT_EQ(readFile(tmp / "out2/css/up.css"), "#!/bin/sh\n");
    struct stat st{};
    stat((tmp / "out2/run.sh").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(mtimeOf(tmp / "out2/css/site.css"), fixtureDate());
    EXPECT_EQ(mtimeOf(tmp / "out2/css"), fixtureDate());
}

TEST(ZMZipArchive, WriterRoundTripsAFolder) {
    TempFolder tmp;
    writeFile(tmp / "src/index.html", "<html></html>");
    writeFile(tmp / "src/js/app.js", std::string(100000, 'x'));
    fs::permissions(tmp / "src/js/app.js", fs::perms(0700));
    ASSERT_TRUE(ZMZipArchive::createZipFileAtPath(tmp / "w.zip", tmp / "src"));
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "w.zip", tmp / "dst"));
    EXPECT_EQ(readFile(tmp / "dst/index.html"), "<html></html>");
    EXPECT_EQ(readFile(tmp / "dst/js/app.js"), std::string(100000, 'x'));
    EXPECT_EQ(fs::status(tmp / "dst/js/app.js").permissions(), fs::perms(0700));
    // Dates survive to the DOS date's two-second precision.
    EXPECT_LE(std::abs(mtimeOf(tmp / "dst/index.html") - mtimeOf(tmp / "src/index.html")), 2);

    ZMZipArchive writer(tmp / "x.zip");
    EXPECT_FALSE(writer.writeData({1, 2}, "a"));
    EXPECT_FALSE(writer.close());
    ASSERT_TRUE(writer.open());
    EXPECT_EQ(writer.open().error().localizedDescription(), "Attempting open an archive which is already open");
    ASSERT_TRUE(writer.writeData({'h', 'i'}, "hi.txt"));
    ASSERT_TRUE(writer.writeFile(tmp / "src/index.html"));
    ASSERT_TRUE(writer.close());
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "x.zip", tmp / "x"));
    EXPECT_EQ(readFile(tmp / "x/hi.txt"), "hi");
    EXPECT_EQ(readFile(tmp / "x/index.html"), "<html></html>");
}

TEST(ZMZipArchive, ReportsProgressAndIndices) {
    TempFolder tmp;
    writeArchive(tmp / "a.zip", {fileEntry("one", std::string(5000, 'a')), fileEntry("two", "22"), fileEntry("three", "333")});
    writeFile(tmp / "out/two", "old");
    Recorder recorder;
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "a.zip", tmp / "out", false, "", &recorder));
    // The existing "two" stays and its entry is passed over without taking an index.
    EXPECT_EQ(readFile(tmp / "out/two"), "old");
    EXPECT_EQ(readFile(tmp / "out/three"), "333");
    EXPECT_EQ(recorder.willIndices, (std::vector<std::int64_t>{0, 1, 1}));
    EXPECT_EQ(recorder.didIndices, (std::vector<std::int64_t>{0, 1}));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"will-archive 3", "did-archive"}));

    const auto total = static_cast<std::int64_t>(fs::file_size(tmp / "a.zip"));
    ASSERT_EQ(recorder.progress.size(), 5u);
    EXPECT_EQ(recorder.progress.front(), std::make_pair(std::int64_t{0}, total));
    EXPECT_EQ(recorder.progress.back(), std::make_pair(total, total));
    for (std::size_t i = 1; i + 1 < recorder.progress.size(); ++i) {
        EXPECT_GT(recorder.progress[i].first, recorder.progress[i - 1].first);
        EXPECT_LT(recorder.progress[i].first, total);
    }

    // With overwrite on, the existing file is replaced.
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "a.zip", tmp / "out"));
    EXPECT_EQ(readFile(tmp / "out/two"), "22");
}

TEST(ZMZipArchive, OpeningFailuresAreErrorsWithoutProgress) {
    TempFolder tmp;
    Recorder recorder;
    auto missing = ZMZipArchive::unzipFileAtPath(tmp / "missing.zip", tmp / "out", true, "", &recorder);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, -1);
    EXPECT_EQ(missing.error().localizedDescription(), "failed to open zip file");

    writeFile(tmp / "junk.zip", "this is not an archive at all, just text");
    EXPECT_EQ(ZMZipArchive::unzipFileAtPath(tmp / "junk.zip", tmp / "out").error().code, -1);

    writeArchive(tmp / "empty.zip", {});
    auto empty = ZMZipArchive::unzipFileAtPath(tmp / "empty.zip", tmp / "out", true, "", &recorder);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().code, -2);
    EXPECT_EQ(empty.error().localizedDescription(), "failed to open first file in zip file");
    EXPECT_TRUE(recorder.progress.empty());
}

TEST(ZMZipArchive, RefusesEntriesThatLeaveTheDestination) {
    struct Case {
        const char* what;
        std::vector<FixtureEntry> entries;
    };
    const std::vector<Case> cases = {
        {"dot-dot", {fileEntry("index.html", "ok"), fileEntry("../evil", "x")}},
        {"nested dot-dot", {fileEntry("a/../../evil", "x")}},
        {"backslash dot-dot", {fileEntry("..\\evil", "x")}},
        {"absolute", {fileEntry("/tmp/abs-evil", "x")}},
        {"escaping link", {linkEntry("css/evil", "../../evil")}},
        {"absolute link", {linkEntry("evil", "/etc/passwd")}},
        {"write through a link", {folderEntry("real/"), linkEntry("l", "real"), fileEntry("l/evil", "x")}},
        {"link then write through it", {linkEntry("up", "."), fileEntry("up/evil", "x")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder tmp;
        writeArchive(tmp / "a.zip", c.entries);
        Recorder recorder;
        auto result = ZMZipArchive::unzipFileAtPath(tmp / "a.zip", tmp / "box/out", true, "", &recorder);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().code, ZMZipArchive::kErrorUnsafeEntry) << result.error().localizedDescription();
        EXPECT_FALSE(fs::exists(tmp / "box/evil"));
        EXPECT_FALSE(fs::exists(tmp / "evil"));
        EXPECT_FALSE(fs::exists("/tmp/abs-evil"));
        EXPECT_FALSE(fs::exists(tmp / "box/out/real/evil"));
        EXPECT_EQ(recorder.events, std::vector<std::string>{"will-archive " + std::to_string(c.entries.size())});
    }
}

TEST(ZMZipArchive, DamagedArchivesAndUnwritableOutputFailPartWay) {
    TempFolder tmp;
    std::string payload;
    for (int i = 0; i < 20000; ++i)
        payload += std::to_string(i * 7919 % 1000);
    writeArchive(tmp / "a.zip", {fileEntry("first.txt", "first"), fileEntry("big.txt", payload), fileEntry("last.txt", "last")});
    std::string bytes = readFile(tmp / "a.zip");

    // Flipped bytes inside the compressed data: a data or CRC error, never success.
    std::string flipped = bytes;
    for (std::size_t i = 200; i < 260; ++i)
        flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    writeFile(tmp / "flipped.zip", flipped);
    Recorder recorder;
    auto damaged = ZMZipArchive::unzipFileAtPath(tmp / "flipped.zip", tmp / "o1", true, "", &recorder);
    ASSERT_FALSE(damaged);
    EXPECT_EQ(damaged.error().code, ZMZipArchive::kErrorReadFailed);
    EXPECT_EQ(recorder.progress.back().first, recorder.progress.back().second);  // the final event still comes
    EXPECT_FALSE(fs::exists(tmp / "o1/last.txt"));

    // A whole stream that ends before the size the directory declares, whose CRC then goes unchecked.
    writeRawEntryArchive(tmp / "ends-early.zip", "early.txt", testsupport::deflated("abc", -MAX_WBITS), 10,
                         static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("abc"), 3)));
    auto early = ZMZipArchive::unzipFileAtPath(tmp / "ends-early.zip", tmp / "o5");
    ASSERT_FALSE(early);
    EXPECT_EQ(early.error().code, ZMZipArchive::kErrorReadFailed);

    // Cut short: the directory at the end is gone.
    writeFile(tmp / "short.zip", bytes.substr(0, bytes.size() / 2));
    EXPECT_FALSE(ZMZipArchive::unzipFileAtPath(tmp / "short.zip", tmp / "o2"));

    // A name longer than the file system allows: a clear error.
    std::string deep;
    for (int i = 0; i < 40; ++i)
        deep += std::string(200, 'd') + "/";
    writeArchive(tmp / "deep.zip", {fileEntry(deep + "f", "x")});
    auto tooDeep = ZMZipArchive::unzipFileAtPath(tmp / "deep.zip", tmp / "o4");
    ASSERT_FALSE(tooDeep);
    EXPECT_EQ(tooDeep.error().code, ZMZipArchive::kErrorWriteFailed);

    // A folder stands where a file must be written.
    fs::create_directories(tmp / "o3/big.txt");
    auto blocked = ZMZipArchive::unzipFileAtPath(tmp / "a.zip", tmp / "o3");
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.error().code, ZMZipArchive::kErrorWriteFailed);
}

TEST(ZMZipArchive, DatesFromDOSFormat) {
    // 2021-03-04 05:06:08
    std::uint32_t dos = ((2021u - 1980u) << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | 4u;
    time_t when = static_cast<time_t>(ZMZipArchive::dateWithMSDOSFormat(dos).secondsSince1970);
    struct tm local{};
    localtime_r(&when, &local);
    EXPECT_EQ(local.tm_year, 121);
    EXPECT_EQ(local.tm_mon, 2);
    EXPECT_EQ(local.tm_mday, 4);
    EXPECT_EQ(local.tm_hour, 5);
    EXPECT_EQ(local.tm_min, 6);
    EXPECT_EQ(local.tm_sec, 8);

    // A zero DOS date still dates the file, with the date made from zero.
    TempFolder tmp;
    writeArchive(tmp / "a.zip", {fileEntry("undated", "u")});
    std::string bytes = readFile(tmp / "a.zip");
    // Zero the date in the local header (offset 10) and in the directory record (offset 12).
    for (int k = 0; k < 4; ++k)
        bytes[10 + k] = 0;
    std::size_t central = bytes.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);
    for (int k = 0; k < 4; ++k)
        bytes[central + 12 + k] = 0;
    writeFile(tmp / "a.zip", bytes);
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "a.zip", tmp / "out"));
    EXPECT_EQ(mtimeOf(tmp / "out/undated"), static_cast<time_t>(ZMZipArchive::dateWithMSDOSFormat(0).secondsSince1970));
}

TEST(ZMZipArchive, PasswordProtectedEntries) {
    TempFolder tmp;
    const std::string secret = "secret contents, long enough to deflate: " + std::string(200, 's');
    zipFile zip = zipOpen64((tmp / "p.zip").c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    zip_fileinfo info{};
    info.tmz_date.tm_year = 2020;
    info.tmz_date.tm_mday = 1;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(secret.data()), static_cast<uInt>(secret.size()));
    ASSERT_EQ(zipOpenNewFileInZip3_64(zip, "locked.txt", &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                      Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, "pw", crc, 0),
              ZIP_OK);
    zipWriteInFileInZip(zip, secret.data(), static_cast<unsigned>(secret.size()));
    zipCloseFileInZip(zip);
    zipClose(zip, nullptr);

    // Debian's minizip is built without decryption: then even the right password is a clear error.
    auto good = ZMZipArchive::unzipFileAtPath(tmp / "p.zip", tmp / "good", true, "pw");
    if (good)
        EXPECT_EQ(readFile(tmp / "good/locked.txt"), secret);
    else
        EXPECT_EQ(good.error().code, ZMZipArchive::kErrorEntryOpenFailed);
    // A wrong password never passes for success.
    EXPECT_FALSE(ZMZipArchive::unzipFileAtPath(tmp / "p.zip", tmp / "bad", true, "wrong"));
    auto none = ZMZipArchive::unzipFileAtPath(tmp / "p.zip", tmp / "none");
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().code, ZMZipArchive::kErrorEntryOpenFailed);
}

TEST(ZMZipArchive, LargeArchivesUnpackAlikeOnSeveralThreads) {
    TempFolder tmp;
    std::vector<FixtureEntry> entries;
    std::vector<std::string> contents;
    unsigned seed = 7;
    for (int i = 0; i < 80; ++i) {
        std::string content(64 * 1024 + i, ' ');
        for (char& c : content) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>('a' + ((seed >> 16) & 15));
        }
        contents.push_back(content);
        entries.push_back(fileEntry("d" + std::to_string(i % 7) + "/f" + std::to_string(i), content, 0600));
    }
    writeArchive(tmp / "big.zip", entries);
    Recorder recorder;
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "big.zip", tmp / "out", true, "", &recorder));
    for (int i = 0; i < 80; ++i)
        ASSERT_EQ(readFile(tmp / ("out/d" + std::to_string(i % 7) + "/f" + std::to_string(i))), contents[i]) << i;
    EXPECT_EQ(fs::status(tmp / "out/d0/f0").permissions(), fs::perms(0600));
    EXPECT_EQ(mtimeOf(tmp / "out/d3/f10"), fixtureDate());
    std::vector<std::int64_t> indices(80);
    for (int i = 0; i < 80; ++i)
        indices[i] = i;
    EXPECT_EQ(recorder.willIndices, indices);
    EXPECT_EQ(recorder.didIndices, indices);
    ASSERT_EQ(recorder.progress.size(), 82u);
    for (std::size_t i = 1; i < recorder.progress.size(); ++i)
        EXPECT_GT(recorder.progress[i].first, recorder.progress[i - 1].first);

    // One damaged entry in the middle fails the whole unzip.
    std::string bytes = readFile(tmp / "big.zip");
    const std::size_t middle = bytes.size() / 2;
    for (std::size_t i = middle; i < middle + 64; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x33);
    writeFile(tmp / "damaged.zip", bytes);
    Recorder damaged;
    auto result = ZMZipArchive::unzipFileAtPath(tmp / "damaged.zip", tmp / "out2", true, "", &damaged);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, ZMZipArchive::kErrorReadFailed);
    EXPECT_LT(damaged.didIndices.size(), 80u);
    EXPECT_TRUE(std::find(damaged.events.begin(), damaged.events.end(), "did-archive") == damaged.events.end());
}

TEST(ZMZipArchive, ArchivesThatExpandTooMuchAreRefused) {
    EXPECT_EQ(ZMZipArchive::kMaxExpandedLength, 2ull << 30);
    EXPECT_EQ(ZMZipArchive::kMaxExpansionRatio, 200u);
    TempFolder tmp;
    auto refusedCode = [&](const std::string& archive) {
        auto result = ZMZipArchive::unzipFileAtPath(tmp / archive, tmp / "out");
        EXPECT_FALSE(fs::exists(tmp / "out")) << archive; // refused before the destination is made
        return result ? 0LL : result.error().code;
    };

    // Declared: 8 MiB from some 8 KiB (a ratio near 1000), and 3 GiB from 16 MiB (a ratio under 200, but
    // past the total).
    writeArchive(tmp / "ratio.zip", {fileEntry("index.html", "<p>"), fileEntry("bomb.bin", std::string(8 << 20, '\0'))});
    EXPECT_EQ(refusedCode("ratio.zip"), ZMZipArchive::kErrorTooLarge);
    writeRawEntryArchive(tmp / "total.zip", "huge.bin", std::string(16 << 20, 'r'), 3ull << 30);
    EXPECT_EQ(refusedCode("total.zip"), ZMZipArchive::kErrorTooLarge);

    // Actual: an entry that declares 100 bytes but would inflate to 4 MiB writes no more than them and
    // fails.
    writeRawEntryArchive(tmp / "liar.zip", "liar.bin", testsupport::deflated(std::string(4 << 20, '\0'), -MAX_WBITS), 100);
    auto lied = ZMZipArchive::unzipFileAtPath(tmp / "liar.zip", tmp / "liar");
    ASSERT_FALSE(lied);
    EXPECT_LE(fs::file_size(tmp / "liar/liar.bin"), 100u);

    // Folders the names make count as folder entries do, a block each, and are kept by their last
    // component: 50 names of 1,900 folders each (95,000 folders, 370 MB of disk, from 380 KB) are refused
    // before anything is made, where they were made one by one (13 s and 190 MB of whole paths).
    std::vector<FixtureEntry> deep;
    std::string folders;
    for (int i = 0; i < 1900; ++i)
        folders += "a/";
    for (int i = 0; i < 50; ++i)
        deep.push_back(fileEntry("d" + std::to_string(i) + "/" + folders + "f", "x"));
    writeArchive(tmp / "deep.zip", deep);
    EXPECT_EQ(refusedCode("deep.zip"), ZMZipArchive::kErrorTooLarge);
    // A tree of them that costs a block each within the bounds unpacks, every folder made once.
    std::vector<FixtureEntry> tree{folderEntry("t/a/"), fileEntry("t/a/b/c/one.js", "1"), fileEntry("t/a/b/two.js", "2"),
                                   fileEntry("t/a/b/c/d/three.js", "3"), folderEntry("t/a/b/c/d/")};
    for (int i = 0; i < 200; ++i)
        tree.push_back(fileEntry("t/" + folders.substr(0, 2 * static_cast<std::size_t>(i)) + "z.js", std::to_string(i)));
    writeArchive(tmp / "tree.zip", tree);
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "tree.zip", tmp / "tree"));
    EXPECT_EQ(readFile(tmp / "tree/t/a/b/c/d/three.js"), "3");
    EXPECT_EQ(readFile(tmp / ("tree/t/" + folders.substr(0, 2 * 199) + "z.js")), "199");

    // Small archives of repetitive text stay welcome whatever their ratio.
    writeArchive(tmp / "text.zip", {fileEntry("spaces.css", std::string(512 * 1024, ' '))});
    EXPECT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "text.zip", tmp / "text"));
    EXPECT_EQ(fs::file_size(tmp / "text/spaces.css"), 512u * 1024);
}

namespace {

// An archive of `count` empty stored entries named e0, e1, ..., written byte by byte (quicker than the
// library for many entries); its end record says `declared` entries (`count` unless given).
// Lies of other kinds: four bytes of junk inside the directory after the record `gapAfter`, a zip64
// end record (saying `declared`) even for few entries with `classic` as the plain end record's count,
// every entry named e0.
struct Lies {
    std::int64_t gapAfter = -1;
    bool wide = false;
    std::uint32_t classic = 0xffff;
    bool sameNames = false;
};
void writeEmptyEntries(const std::string& path, std::uint32_t count, std::int64_t declared = -1, Lies lies = {}) {
    const std::uint64_t stated = declared < 0 ? count : static_cast<std::uint64_t>(declared);
    std::string local, central;
    auto put16 = [](std::string& out, std::uint32_t v) { out += static_cast<char>(v & 0xff); out += static_cast<char>((v >> 8) & 0xff); };
    auto put32 = [&](std::string& out, std::uint32_t v) { put16(out, v & 0xffff); put16(out, v >> 16); };
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string name = "e" + std::to_string(lies.sameNames ? 0 : i);
        const auto offset = static_cast<std::uint32_t>(local.size());
        put32(local, 0x04034b50);
        put16(local, 10); put16(local, 0); put16(local, 0); put32(local, 0); // version, flags, stored, date
        put32(local, 0); put32(local, 0); put32(local, 0);                    // CRC, sizes
        put16(local, static_cast<std::uint32_t>(name.size())); put16(local, 0);
        local += name;
        put32(central, 0x02014b50);
        put16(central, 0x031e); put16(central, 10); put16(central, 0); put16(central, 0); put32(central, 0);
        put32(central, 0); put32(central, 0); put32(central, 0);
        put16(central, static_cast<std::uint32_t>(name.size())); put16(central, 0); put16(central, 0);
        put16(central, 0); put16(central, 0); put32(central, 0100644u << 16); put32(central, offset);
        central += name;
        if (static_cast<std::int64_t>(i) == lies.gapAfter)
            central += "JUNK";
    }
    auto put64 = [&](std::string& out, std::uint64_t v) { put32(out, static_cast<std::uint32_t>(v)); put32(out, static_cast<std::uint32_t>(v >> 32)); };
    std::string end;
    const bool wide = stated > 0xffff || lies.wide; // past 16 bits the counts live in the zip64 end record
    if (wide) {
        const std::uint64_t recordOffset = local.size() + central.size();
        put32(end, 0x06064b50);
        put64(end, 44);
        put16(end, 45); put16(end, 45); put32(end, 0); put32(end, 0);
        put64(end, stated); put64(end, stated); put64(end, central.size()); put64(end, local.size());
        put32(end, 0x07064b50);
        put32(end, 0); put64(end, recordOffset); put32(end, 1);
    }
    put32(end, 0x06054b50);
    put16(end, 0); put16(end, 0);
    const std::uint32_t classic = wide ? lies.classic : static_cast<std::uint32_t>(stated);
    put16(end, classic); put16(end, classic);
    put32(end, static_cast<std::uint32_t>(central.size())); put32(end, static_cast<std::uint32_t>(local.size()));
    put16(end, 0);
    writeFile(path, local + central + end);
}

} // namespace

TEST(ZMZipArchive, EntriesAreBoundedByCountAndCountedAtTheirCostOnDisk) {
    EXPECT_EQ(ZMZipArchive::kMaxEntries, 65536u);
    TempFolder tmp;
    // One entry more than allowed: refused before anything is made.
    writeEmptyEntries(tmp / "many.zip", ZMZipArchive::kMaxEntries + 1);
    auto many = ZMZipArchive::unzipFileAtPath(tmp / "many.zip", tmp / "many");
    ASSERT_FALSE(many);
    EXPECT_EQ(many.error().code, ZMZipArchive::kErrorTooLarge);
    EXPECT_FALSE(fs::exists(tmp / "many"));
    // A few thousand are fine.
    writeEmptyEntries(tmp / "some.zip", 3000);
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "some.zip", tmp / "some"));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp / "some"), fs::directory_iterator()), 3000);

    // Each entry takes whole blocks, an empty one a block too: a million one-byte entries cost 4 GB, not 1 MB.
    EXPECT_EQ(ZMZipArchive::diskCostOf(0, 4096), 4096u);
    EXPECT_EQ(ZMZipArchive::diskCostOf(1, 4096), 4096u);
    EXPECT_EQ(ZMZipArchive::diskCostOf(4096, 4096), 4096u);
    EXPECT_EQ(ZMZipArchive::diskCostOf(4097, 4096), 8192u);
    EXPECT_EQ(ZMZipArchive::diskCostOf(3ull << 30, 4096), 3ull << 30);
}

TEST(ZMZipArchive, AnEntryCountThatDisagreesWithTheDirectoryIsRefused) {
    TempFolder tmp;
    struct Case {
        const char* what;
        std::uint32_t count;
        std::int64_t declared;
    };
    for (const Case& c : {Case{"10 said, 3000 there", 3000, 10}, Case{"10 said, 100,000 there", 100000, 10},
                          Case{"2999 said, 3000 there", 3000, 2999}, Case{"3001 said, 3000 there", 3000, 3001},
                          Case{"5000 said, 3000 there", 3000, 5000}, Case{"1 said, 2 there", 2, 1}}) {
        SCOPED_TRACE(c.what);
        writeEmptyEntries(tmp / "lying.zip", c.count, c.declared);
        Recorder recorder;
        auto lying = ZMZipArchive::unzipFileAtPath(tmp / "lying.zip", tmp / "out", true, "", &recorder);
        ASSERT_FALSE(lying);
        EXPECT_EQ(lying.error().code, ZMZipArchive::kErrorEntryInfoFailed);
        EXPECT_FALSE(fs::exists(tmp / "out"));  // nothing is unpacked
        EXPECT_TRUE(recorder.willIndices.empty());
        EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "did-archive"), 0);
    }
    // The same archives with honest counts unpack whole.
    writeEmptyEntries(tmp / "honest.zip", 2);
    ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "honest.zip", tmp / "honest"));
    EXPECT_TRUE(fs::exists(tmp / "honest/e1"));
}

TEST(ZMZipArchive, ADirectoryThatDisagreesWithItsEndRecordsOrNamesAFileTwiceIsRefused) {
    TempFolder tmp;
    struct Case {
        const char* what;
        std::uint32_t count;
        std::int64_t declared;
        Lies lies;
    };
    for (const Case& c : {Case{"10 counted, junk after the 10th record, 90 more after it", 100, 10, Lies{9}},
                          Case{"all counted, junk after the 10th record", 100, -1, Lies{9}},
                          Case{"zip64 counts 100, the end record 10", 100, 100, Lies{-1, true, 10}},
                          Case{"zip64 counts 10, the end record 100", 100, 10, Lies{-1, true, 100}},
                          Case{"three entries of one name", 3, -1, Lies{-1, false, 0xffff, true}}}) {
        SCOPED_TRACE(c.what);
        writeEmptyEntries(tmp / "lying.zip", c.count, c.declared, c.lies);
        Recorder recorder;
        auto lying = ZMZipArchive::unzipFileAtPath(tmp / "lying.zip", tmp / "out", true, "", &recorder);
        ASSERT_FALSE(lying);
        EXPECT_EQ(lying.error().code, ZMZipArchive::kErrorEntryInfoFailed);
        EXPECT_FALSE(fs::exists(tmp / "out"));
        EXPECT_TRUE(recorder.willIndices.empty());
    }
    // A zip64 end record over few entries, with the plain end record saying 0xffff or the same count.
    for (std::uint32_t classic : {0xffffu, 100u}) {
        writeEmptyEntries(tmp / "wide.zip", 100, 100, Lies{-1, true, classic});
        const std::string out = tmp / ("wide" + std::to_string(classic));
        ASSERT_TRUE(ZMZipArchive::unzipFileAtPath(tmp / "wide.zip", out));
        EXPECT_TRUE(fs::exists(out + "/e99"));
    }
}
