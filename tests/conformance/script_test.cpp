// The script language of `tarvo run`: what it accepts, what it refuses, and
// that the tool's output form of bytes reads back as the same bytes.
#include <gtest/gtest.h>

#include "script.h"
#include "text.h"

namespace tarvo::tool {
namespace {

ParsedLine parsed(const std::string& line) { return parse_line(line); }

Command command_of(const std::string& line) {
    const ParsedLine p = parse_line(line);
    EXPECT_EQ(p.kind, ParsedLine::Kind::Command) << line << ": " << p.error;
    return p.command;
}

bool malformed(const std::string& line) { return parse_line(line).kind == ParsedLine::Kind::Malformed; }

TEST(ScriptParser, EveryCommandWithItsArguments) {
    struct Case {
        const char* line;
        Op op;
        std::vector<int> args;
    } cases[] = {
        {"setComPortNo 1 7", Op::SetComPortNo, {1, 7}},
        {"open 1", Op::Open, {1}},
        {"close 16", Op::Close, {16}},
        {"term_irq 2", Op::TermIrq, {2}},
        {"iqueue 1", Op::Iqueue, {1}},
        {"getch 1", Op::Getch, {1}},
        {"read 1 64", Op::Read, {1, 64}},
        {"flush 1 -1", Op::Flush, {1, -1}},
        {"baud 1 921600", Op::Baud, {1, 921600}},
        {"ioctl 1 12 0x03", Op::Ioctl, {1, 12, 3}},
        {"flowctrl 1 0X0c", Op::Flowctrl, {1, 12}},
        {"RTS 1 1", Op::Rts, {1, 1}},
        {"dtr 1 0", Op::Dtr, {1, 0}},
        {"enableat 1", Op::Enableat, {1}},
        {"DISABLEAT 1", Op::Disableat, {1}},
        {"wait 1 10 2000", Op::Wait, {1, 10, 2000}},
        {"wait 1 1 2000 50", Op::Wait, {1, 1, 2000, 50}},
        {"sleep 0", Op::Sleep, {0}},
        {"\t open \t -0x10   # trailing comment", Op::Open, {-16}},
    };
    for (const Case& c : cases) {
        const Command cmd = command_of(c.line);
        EXPECT_EQ(cmd.op, c.op) << c.line;
        EXPECT_EQ(cmd.args, c.args) << c.line;
    }
    const Command write = command_of(R"(write 1 "*IDN?\r\n")");
    EXPECT_EQ(write.op, Op::Write);
    EXPECT_EQ(write.args, std::vector<int>{1});
    EXPECT_EQ(write.data, "*IDN?\r\n");
    EXPECT_EQ(command_of("write 1 x:2a49444E3f0d0a").data, "*IDN?\r\n");
    EXPECT_EQ(command_of("write 1 x:").data, "");
    EXPECT_EQ(command_of(R"(write 1 "")").data, "");
}

TEST(ScriptParser, BlankLinesAndComments) {
    for (const char* line : {"", "   ", "\t", "# comment", "   # indented comment", "#open 1"})
        EXPECT_EQ(parsed(line).kind, ParsedLine::Kind::Blank) << line;
    EXPECT_EQ(command_of(R"(write 1 "# not a comment")").data, "# not a comment");
}

TEST(ScriptParser, IntegersStayWithin32Bits) {
    EXPECT_EQ(command_of("baud 1 2147483647").args[1], 2147483647);
    EXPECT_EQ(command_of("baud 1 0x7fffffff").args[1], 2147483647);
    EXPECT_EQ(command_of("baud 1 -2147483648").args[1], INT32_MIN);
    EXPECT_EQ(command_of("baud 1 -0x80000000").args[1], INT32_MIN);
    for (const char* number : {"2147483648", "-2147483649", "0xffffffff", "99999999999999999999999999999", "0x",
                               "-", "--1", "+1", "1e3", "0x1g", "12abc", "١", "\"1\""})
        EXPECT_TRUE(malformed(std::string("baud 1 ") + number)) << number;
}

TEST(ScriptParser, CountsAndTimesAreBounded) {
    EXPECT_EQ(command_of("read 1 1048576").args[1], 1048576);
    EXPECT_TRUE(malformed("read 1 1048577"));
    EXPECT_TRUE(malformed("read 1 -1"));
    EXPECT_EQ(command_of("sleep 86400000").args[0], 86400000);
    EXPECT_TRUE(malformed("sleep 86400001"));
    EXPECT_TRUE(malformed("sleep -1"));
    EXPECT_TRUE(malformed("wait 1 1048577 0"));
    EXPECT_TRUE(malformed("wait 1 1 -5"));
    EXPECT_TRUE(malformed("wait 1 1 5 -1"));
    EXPECT_TRUE(malformed("wait 1 1 5 86400001"));

    const std::string longest(static_cast<std::size_t>(MAX_TRANSFER) * 2, 'a');
    EXPECT_EQ(command_of("write 1 x:" + longest).data.size(), static_cast<std::size_t>(MAX_TRANSFER));
    EXPECT_TRUE(malformed("write 1 x:" + longest + "aa"));
}

TEST(ScriptParser, DataEscapes) {
    EXPECT_EQ(command_of(R"(write 1 "\r\n\t\0\\\"\x41\xfF")").data, std::string("\r\n\t\0\\\"A\xff", 8));
    for (const char* line : {R"(write 1 "\q")", R"(write 1 "\x4")", R"(write 1 "\x")", R"(write 1 "abc)",
                             R"(write 1 "ab\")", R"(write 1 "ab"c)", "write 1 x:abc", "write 1 x:zz",
                             "write 1 plain", "write 1 \"tab\there\""})
        EXPECT_TRUE(malformed(line)) << line;
    EXPECT_TRUE(malformed(std::string("write 1 \"a\0b\"", 12)));
}

TEST(ScriptParser, WrongCommandsAndArityNameTheProblem) {
    EXPECT_NE(parsed("frobnicate 1").error.find("frobnicate"), std::string::npos);
    EXPECT_NE(parsed("ioctl 1 2").error.find("usage: ioctl PORT INDEX MODE"), std::string::npos);
    for (const char* line : {"open", "open 1 2", "sio_open 1", "\"open\" 1", "open1", "wait 1 2", "wait 1 2 3 4 5"})
        EXPECT_TRUE(malformed(line)) << line;
    // Raw bytes end up escaped in the message, so it stays one printable line.
    const std::string junk("\x01\xfe\n\0z", 5);
    const std::string error = parsed(junk).error;
    ASSERT_FALSE(error.empty());
    for (char c : error) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << static_cast<int>(static_cast<unsigned char>(c));
    EXPECT_TRUE(malformed(std::string("open\0 1", 7)));
    EXPECT_TRUE(malformed(std::string("open 1\0", 7)));
}

TEST(ResultText, CodesHaveTheirNames) {
    EXPECT_EQ(format_result(0), "0");
    EXPECT_EQ(format_result(255), "255");
    EXPECT_EQ(format_result(-20004), "-20004 ERR_NOT_OPEN");
    EXPECT_EQ(format_result(-20011), "-20011 ERR_PURGE_FAILED");
    for (int code = -20011; code <= -20001; ++code) EXPECT_NE(result_code_name(code), nullptr) << code;
    EXPECT_EQ(format_result(-20000), "-20000");
    EXPECT_EQ(format_result(-20012), "-20012");
    EXPECT_EQ(format_result(3, std::string("a\"\0", 3)), "3 \"a\\\"\\x00\" x:612200");
    EXPECT_EQ(format_result(0, ""), "0 \"\" x:");
}

TEST(ResultText, EscapedBytesReadBackUnchanged) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    EXPECT_EQ(command_of("write 1 \"" + escape_bytes(all) + "\"").data, all);
    EXPECT_EQ(command_of("write 1 x:" + to_hex(all)).data, all);
    EXPECT_EQ(escape_shortened("abcdef", 3), "abc...");
}

}  // namespace
}  // namespace tarvo::tool
