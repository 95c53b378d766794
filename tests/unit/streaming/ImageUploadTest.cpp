// Image upload: open, stream-write and close exchange, progress, and every way it can fail.
#include "ProgrammerPeer.h"

#include "protocol/streaming/StreamingCommon.h"

#include <chrono>
#include <filesystem>
#include <string>

namespace {

using namespace std::chrono_literals;

Bytes Pattern(std::size_t length, unsigned seed = 1) {
    Bytes out(length);
    unsigned state = seed;
    for (auto& byte : out) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return out;
}

std::vector<std::string> With(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::vector<Bytes> Bodies(const std::vector<ReceivedFrame>& frames) {
    std::vector<Bytes> out;
    for (const auto& frame : frames)
        out.push_back(frame.body);
    return out;
}

Script Normal() {
    return [](const ReceivedFrame& frame, std::size_t) { return NormalAnswer(frame); };
}

struct ImageCase {
    const char* what;
    Bytes image;
    std::size_t streamWrites;
};

const ImageCase kImages[] = {
    {"empty", {}, 0},
    {"one byte", Pattern(1), 1},
    {"under one chunk", Pattern(1023), 1},
    {"exactly one chunk", Pattern(1024), 1},
    {"exact multiple", Pattern(3 * 1024), 3},
    {"multiple plus a short chunk", Pattern(3 * 1024 + 5), 4},
    // Every data byte escaped: the largest stream-write frame there is.
    {"all flags", Bytes(2 * 1024 + 7, 0x7E), 3},
};

using ImageUpload = StreamingTest;

TEST_F(ImageUpload, StreamsEveryImageWhole) {
    const Bytes header = Pattern(40, 7);
    for (const ImageCase& c : kImages) {
        SCOPED_TRACE(c.what);
        m_page.ClearEvents();
        m_dir.Write("oemsblhd.mbn", header);
        m_dir.Write("oemsbl.mbn", c.image);
        ProgrammerPeer programmer(m_pty, Normal());

        EXPECT_NE(m_page.SendOemSbl(), 0);
        programmer.Stop();

        const auto& frames = programmer.Frames();
        ASSERT_EQ(frames.size(), c.streamWrites + 2);
        EXPECT_EQ(frames.front().body, Concat({{0x1B, 0x04}, header}));
        EXPECT_TRUE(frames.front().fcsOk);
        EXPECT_EQ(frames.back().raw, (Bytes{0x7E, 0x15, 0x54, 0xB7, 0x7E}));
        EXPECT_EQ(RebuildImage(frames), c.image);
        EXPECT_EQ(m_page.Events().front(), "status:Sending OEM second bootloader...");
        EXPECT_EQ(m_page.PhasePositions().back(), 100);
        // Under one full chunk nothing moves between the start and the close answer.
        if (c.image.size() < 1024) {
            EXPECT_EQ(m_page.PhasePositions(), (std::vector<int>{0, 100}));
            EXPECT_TRUE(m_page.OverallPositions().empty());
        }
    }
}

TEST_F(ImageUpload, EachPhaseNamesItsFilesTypeAndBase) {
    struct PhaseCase {
        int (CDownloadPage::*run)();
        const char* header;
        const char* image;
        std::uint8_t type;
        const char* status;
        int base;
    };
    const PhaseCase phases[] = {
        {&CDownloadPage::SendOemSbl, "oemsblhd.mbn", "oemsbl.mbn", 4, "Sending OEM second bootloader...", 20},
        {&CDownloadPage::SendAmss, "amsshd.mbn", "amss.mbn", 5, "Sending AMSS...", 40},
        {&CDownloadPage::SendAppsBoot, "appsbootHD.mbn", "appsboot.mbn", 10, "Sending APP boot packet...",
         60},
    };
    for (const PhaseCase& p : phases) {
        SCOPED_TRACE(p.status);
        m_page.ClearEvents();
        const Bytes header{p.type, 0xAA};
        m_dir.Write(p.header, header);
        m_dir.Write(p.image, Pattern(1024));
        ProgrammerPeer programmer(m_pty, Normal());
        EXPECT_NE((m_page.*p.run)(), 0);
        programmer.Stop();
        ASSERT_FALSE(programmer.Frames().empty());
        EXPECT_EQ(programmer.Frames().front().body, (Bytes{0x1B, p.type, p.type, 0xAA}));
        EXPECT_EQ(RebuildImage(programmer.Frames()), Pattern(1024));
        EXPECT_EQ(m_page.Events(),
                  (std::vector<std::string>{std::string("status:") + p.status, "phase:0", "phase:0",
                                            "overall:" + std::to_string(p.base), "phase:100"}));
    }
}

TEST_F(ImageUpload, EmptyHeaderGivesTheBareOpenPacket) {
    m_dir.Write("oemsblhd.mbn", {});
    m_dir.Write("oemsbl.mbn", {});
    ProgrammerPeer programmer(m_pty, Normal());
    EXPECT_NE(m_page.SendOemSbl(), 0);
    programmer.Stop();
    ASSERT_EQ(programmer.Frames().size(), 2u);
    EXPECT_EQ(programmer.Frames()[0].raw, (Bytes{0x7E, 0x1B, 0x04, 0x5A, 0x38, 0x7E}));
}

TEST_F(ImageUpload, ProgressForFiveChunksFromForty) {
    m_dir.Write("amsshd.mbn", {0x01});
    m_dir.Write("amss.mbn", Pattern(5 * 1024));
    ProgrammerPeer programmer(m_pty, Normal());
    EXPECT_NE(m_page.SendAmss(), 0);
    programmer.Stop();
    EXPECT_EQ(m_page.Events(),
              (std::vector<std::string>{"status:Sending AMSS...", "phase:0", "phase:0", "overall:40",
                                        "phase:19", "overall:43", "phase:39", "overall:47", "phase:59",
                                        "overall:51", "phase:79", "overall:55", "phase:100"}));
    EXPECT_EQ(m_page.PercentLabel(), L"55%");
}

TEST_F(ImageUpload, OverallBarMovesOnlyWhenItGrows) {
    // Twenty chunks from 20: the overall value repeats (20 for chunks 0 and 1) and is shown once.
    m_dir.Write("oemsblhd.mbn", {0x01});
    m_dir.Write("oemsbl.mbn", Pattern(20 * 1024));
    ProgrammerPeer programmer(m_pty, Normal());
    EXPECT_NE(m_page.SendOemSbl(), 0);
    programmer.Stop();
    EXPECT_EQ(m_page.OverallPositions(),
              (std::vector<int>{20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38}));
    EXPECT_EQ(m_page.PhasePositions().size(), 22u); // the start, one per full chunk, the close answer
}

TEST_F(ImageUpload, PassesOverDuplicateAndLateAnswers) {
    // Every stream-write answered twice: the extra answers pile up, each wait takes the oldest,
    // and those still pending after the close packet are passed over.
    m_dir.Write("oemsblhd.mbn", {0x01});
    m_dir.Write("oemsbl.mbn", Pattern(3 * 1024 + 1));
    ProgrammerPeer programmer(m_pty, [](const ReceivedFrame& frame, std::size_t) {
        const Bytes answer = NormalAnswer(frame);
        return frame.body[0] == 0x07 ? Concat({answer, answer}) : answer;
    });
    EXPECT_NE(m_page.SendOemSbl(), 0);
    programmer.Stop();
    EXPECT_EQ(RebuildImage(programmer.Frames()), Pattern(3 * 1024 + 1));
    EXPECT_EQ(m_page.PhasePositions().back(), 100);
}

TEST_F(ImageUpload, GoesOnWhenAFullChunkIsNotAnswered) {
    // The programmer stays silent after the only full chunk; the bounded wait gives up, the close
    // packet follows, and the withheld answer arrives before the close answer.
    m_dir.Write("oemsblhd.mbn", {0x01});
    m_dir.Write("oemsbl.mbn", Pattern(1024));
    ProgrammerPeer programmer(m_pty, [](const ReceivedFrame& frame, std::size_t) {
        if (frame.body[0] == 0x07)
            return Bytes{};
        if (frame.body[0] == 0x15)
            return Concat({FrameOf({0x08, 0x00, 0x00, 0x00, 0x00}), FrameOf({0x16})});
        return NormalAnswer(frame);
    });
    EXPECT_NE(m_page.SendOemSbl(), 0);
    programmer.Stop();
    EXPECT_EQ(Bodies(programmer.Frames()).size(), 3u);
    EXPECT_EQ(m_page.PhasePositions().back(), 100);
}

TEST_F(ImageUpload, AcceptsAWrongEchoedOffset) {
    m_dir.Write("oemsblhd.mbn", {0x01});
    m_dir.Write("oemsbl.mbn", Pattern(2 * 1024));
    ProgrammerPeer programmer(m_pty, [](const ReceivedFrame& frame, std::size_t) {
        return frame.body[0] == 0x07 ? FrameOf({0x08, 0x12, 0x34, 0x56, 0x78}) : NormalAnswer(frame);
    });
    EXPECT_NE(m_page.SendOemSbl(), 0);
}

struct FailureCase {
    const char* what;
    Bytes image;
    Script script;
    std::vector<std::string> tail; // events after "status:Sending OEM second bootloader...", "phase:0"
    std::size_t framesSent;
};

const std::string kStreamBox = "Stream write response packet (0x08) error ";
const std::string kStreamStatus =
    "Upgrade partition fail: Stream write response packet (0x08) error. Download process stop.";

Script AnswerOpenWith(Bytes answer) {
    return [answer](const ReceivedFrame& frame, std::size_t) {
        return frame.body[0] == 0x1B ? answer : NormalAnswer(frame);
    };
}

Script AnswerStreamWriteWith(Bytes answer) {
    return [answer](const ReceivedFrame& frame, std::size_t) {
        return frame.body[0] == 0x07 ? answer : NormalAnswer(frame);
    };
}

std::vector<FailureCase> FailureCases() {
    std::vector<FailureCase> cases;
    const std::pair<std::uint8_t, const char*> openStatuses[] = {
        {1, "Payload length exceeded."}, {2, "No payload expected."},     {3, "Payload required."},
        {4, "Block 0 write protected."}, {5, "Unknown response packet."}, {255, "Unknown response packet."},
    };
    for (const auto& [status, text] : openStatuses) {
        const std::string box = std::string("Upgrade partition fail: ") + text;
        cases.push_back({"open status", Pattern(1024), AnswerOpenWith(FrameOf({0x1C, status})),
                         FailureEvents("Error", box, box + " Download process stop."), 1});
    }
    // Another answer to the open packet ends the upload without a word of its own.
    cases.push_back(
        {"open answered by another code", Pattern(1024), AnswerOpenWith(FrameOf({0x1A, 0x00})), {}, 1});
    cases.push_back({"full chunk answered by another code", Pattern(2 * 1024),
                     AnswerStreamWriteWith(FrameOf({0x09, 0x00})),
                     With({"phase:0", "overall:20"}, FailureEvents("Vestrel", kStreamBox, kStreamStatus)),
                     2});
    cases.push_back({"short chunk answered by another code", Pattern(100),
                     AnswerStreamWriteWith(FrameOf({0x09, 0x00})),
                     FailureEvents("Vestrel", kStreamBox, kStreamStatus), 2});
    cases.push_back(
        {"close answered by another code", Pattern(10),
         [](const ReceivedFrame& frame, std::size_t) {
             return frame.body[0] == 0x15 ? FrameOf({0x17}) : NormalAnswer(frame);
         },
         FailureEvents("Vestrel", "Closed packet response (0x16) error ",
                       "Upgrade partition fail: Closed packet response (0x16) error. Download process "
                       "stop."),
         3});
    return cases;
}

TEST_F(ImageUpload, ReportsEachFailureAndStopsTheExchange) {
    for (const FailureCase& c : FailureCases()) {
        SCOPED_TRACE(c.what);
        m_page.ClearEvents();
        m_dir.Write("oemsblhd.mbn", {0x01});
        m_dir.Write("oemsbl.mbn", c.image);
        ProgrammerPeer programmer(m_pty, c.script);
        EXPECT_EQ(m_page.SendOemSbl(), 0);
        programmer.Stop();
        EXPECT_EQ(m_page.Events(), With({"status:Sending OEM second bootloader...", "phase:0"}, c.tail));
        EXPECT_EQ(programmer.Frames().size(), c.framesSent) << "no close packet after a failure";
    }
}

TEST_F(ImageUpload, MissingOrUnreadableFiles) {
    const std::string cantOpen = "Upgrade partition fail: Can't open header file.";
    struct FileCase {
        const char* what;
        bool header;
        bool image;
        bool headerUnreadable;
        std::vector<std::string> tail;
        std::size_t framesSent;
    };
    const FileCase cases[] = {
        {"header missing", false, true, false,
         FailureEvents("Vestrel", cantOpen, cantOpen + " Download process stop."), 0},
        // The image is missing only after the programmer has opened it: the same texts.
        {"image missing", true, false, false,
         FailureEvents("Vestrel", cantOpen, cantOpen + " Download process stop."), 1},
        {"header unreadable", false, true, true,
         FailureEvents("Vestrel", "Upgrade partition fail: Can't read header file.",
                       "Upgrade partition fail: Can't read header file. Download process stop."),
         0},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        RecordingPage page(dir.PathW());
        page.m_port.TakeOver(m_page.m_port);
        if (c.header)
            dir.Write("oemsblhd.mbn", {0x01});
        // Opens, then fails its first read (the test process's own memory at address 0).
        if (c.headerUnreadable)
            std::filesystem::create_symlink("/proc/self/mem", dir.Path() / "oemsblhd.mbn");
        if (c.image)
            dir.Write("oemsbl.mbn", Pattern(10));
        ProgrammerPeer programmer(m_pty, Normal());
        EXPECT_EQ(page.SendOemSbl(), 0);
        programmer.Stop();
        EXPECT_EQ(page.Events(), With({"status:Sending OEM second bootloader...", "phase:0"}, c.tail));
        EXPECT_EQ(programmer.Frames().size(), c.framesSent);
    }
}

TEST_F(ImageUpload, ImageThatShrinksWhileStreamingStopsWithoutAShortChunk) {
    // The file loses its tail once streaming has begun: every packet that goes out is whole, and
    // the upload stops with a clear message instead of sending what is left as if complete.
    const std::size_t length = 1024 * 1024;
    const auto imagePath = m_dir.Path() / "oemsbl.mbn";
    m_dir.Write("oemsblhd.mbn", {0x01});
    m_dir.Write("oemsbl.mbn", Pattern(length));
    ProgrammerPeer programmer(m_pty, [&](const ReceivedFrame& frame, std::size_t) {
        if (frame.body[0] == 0x07 && frame.body[1] == 0 && frame.body[2] == 0)
            std::filesystem::resize_file(imagePath, 1500);
        return NormalAnswer(frame);
    });
    EXPECT_EQ(m_page.SendOemSbl(), 0);
    programmer.Stop();
    const auto events = m_page.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
              FailureEvents("Vestrel", "Upgrade partition fail: Can't read image file.",
                            "Upgrade partition fail: Can't read image file. Download process stop."));
    for (const auto& frame : programmer.Frames()) {
        EXPECT_TRUE(frame.fcsOk);
        if (frame.body[0] == 0x07) {
            EXPECT_EQ(frame.body.size(), 5u + 1024u);
        }
        EXPECT_NE(frame.body[0], 0x15) << "no close packet after a failure";
    }
}

TEST_F(ImageUpload, HeaderThatDoesNotFitIsRefusedBeforeSending) {
    // The open frame must fit the packet buffer; find the largest header that does.
    Bytes header(streaming::kPacketBufferSize - 6, 0x55);
    ASSERT_EQ(FrameOf(Concat({{0x1B, 0x04}, header})).size(), streaming::kPacketBufferSize);
    m_dir.Write("oemsbl.mbn", {});
    {
        m_dir.Write("oemsblhd.mbn", header);
        ProgrammerPeer programmer(m_pty, Normal());
        EXPECT_NE(m_page.SendOemSbl(), 0);
        programmer.Stop();
        ASSERT_FALSE(programmer.Frames().empty());
        EXPECT_EQ(programmer.Frames()[0].body, Concat({{0x1B, 0x04}, header}));
    }
    header.push_back(0x55);
    m_dir.Write("oemsblhd.mbn", header);
    m_page.ClearEvents();
    ProgrammerPeer programmer(m_pty, Normal());
    EXPECT_EQ(m_page.SendOemSbl(), 0);
    programmer.Stop();
    EXPECT_TRUE(programmer.Raw().empty());
    EXPECT_EQ(m_page.Events(),
              With({"status:Sending OEM second bootloader...", "phase:0"},
                   FailureEvents("Vestrel", "Upgrade partition fail: Header file too large.",
                                 "Upgrade partition fail: Header file too large. Download process "
                                 "stop.")));
}

TEST_F(ImageUpload, ImageBeyondTheOffsetRangeIsRefused) {
    // Offsets have 32 bits; a larger file would wrap them and overwrite the image's start.
    m_dir.Write("oemsblhd.mbn", {0x01});
    m_dir.Write("oemsbl.mbn", {});
    std::filesystem::resize_file(m_dir.Path() / "oemsbl.mbn", (std::uint64_t{1} << 32) + 1);
    ProgrammerPeer programmer(m_pty, Normal());
    EXPECT_EQ(m_page.SendOemSbl(), 0);
    programmer.Stop();
    EXPECT_EQ(programmer.Frames().size(), 1u);
    EXPECT_EQ(m_page.Messages().back().text, L"Upgrade partition fail: Image file too large.");
}

// The frame builder on its own: offset bytes are escaped like data, and the worst case fits.
TEST(StreamWriteFrame, EscapesOffsetBytesAndHoldsTheWorstCase) {
    TempDir dir;
    dir.Write("chunk", Bytes(1024, 0x7E));
    struct OffsetCase {
        std::uint32_t offset;
        Bytes onWire; // command and offset as sent
    };
    const OffsetCase offsets[] = {
        {0x00000400, {0x7E, 0x07, 0x00, 0x04, 0x00, 0x00}},
        {0x007E0000, {0x7E, 0x07, 0x00, 0x00, 0x7D, 0x5E, 0x00}}, // chunk 8064
        {0x7D000000, {0x7E, 0x07, 0x00, 0x00, 0x00, 0x7D, 0x5D}},
    };
    BYTE buffer[streaming::kPacketBufferSize];
    for (const OffsetCase& c : offsets) {
        CFile file;
        ASSERT_TRUE(file.Open((dir.PathW() + L"/chunk").c_str(), CFile::modeRead));
        std::size_t length = 0;
        ASSERT_EQ(streaming::FrameStreamWrite(file, c.offset, 1024, buffer, sizeof buffer, length),
                  streaming::FrameResult::Ok);
        ASSERT_GT(length, c.onWire.size());
        EXPECT_EQ(Bytes(buffer, buffer + c.onWire.size()), c.onWire);
        Bytes body{0x07, static_cast<std::uint8_t>(c.offset), static_cast<std::uint8_t>(c.offset >> 8),
                   static_cast<std::uint8_t>(c.offset >> 16), static_cast<std::uint8_t>(c.offset >> 24)};
        EXPECT_EQ(Bytes(buffer, buffer + length), FrameOf(Concat({body, Bytes(1024, 0x7E)})));
    }
}

} // namespace
