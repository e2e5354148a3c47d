// `tarvo ports` over fake sysfs trees whose device nodes are real ptys, and
// on real ptys: what it names, what it says of each device, and that it
// leaves every device as it found it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "child_process.h"
#include "pty_peer.h"

namespace tarvo::conformance {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

// A /sys and /dev as the kernel lays them out, in a temporary folder.
class FakeMachine {
public:
    FakeMachine() {
        static int serial = 0;
        const std::string name = "tarvo_sysfs_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
        root_ = fs::path(::testing::TempDir()) / name;
        fs::remove_all(root_);
        fs::create_directories(root_ / "sys/class/tty");
        fs::create_directories(root_ / "dev/serial/by-id");
    }
    ~FakeMachine() { fs::remove_all(root_); }

    std::string root() const { return root_.string(); }

    void file(const std::string& path, const std::string& text) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text << "\n";
    }
    void link(const std::string& path, const std::string& target) {
        fs::create_directories((root_ / path).parent_path());
        fs::create_directory_symlink(target, root_ / path);
    }
    // The tty's class entry and its node in /dev (a pty, or nothing).
    void tty(const std::string& name, const std::string& folder, const std::string& device, const std::string& node) {
        const std::string ttyFolder = folder + "/tty/" + name;
        // The number of the node it stands for, as the kernel's tree has it.
        struct stat info {};
        const bool real = !node.empty() && ::stat(node.c_str(), &info) == 0;
        file(ttyFolder + "/dev", real ? std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev))
                                      : "188:0");
        link(ttyFolder + "/device", fs::relative(root_ / device, root_ / ttyFolder).string());
        link("sys/class/tty/" + name, fs::relative(root_ / ttyFolder, root_ / "sys/class/tty").string());
        if (!node.empty()) fs::create_symlink(node, root_ / "dev" / name);
    }

    // A USB-to-serial adapter: the tty's device is a port below interface 0.
    void adapter(const std::string& node) {
        const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
        usb_device(usb, "0403", "6001", "A10K3L9X", "Acme Cables", "USB Serial Cable");
        file(usb + "/1-1:1.0/bInterfaceNumber", "00");
        link(usb + "/1-1:1.0/ttyUSB0/driver", "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
        fs::create_directories(root_ / "sys/bus/usb-serial/drivers/ftdi_sio");
        tty("ttyUSB0", usb + "/1-1:1.0/ttyUSB0", usb + "/1-1:1.0/ttyUSB0", node);
        fs::create_symlink("../../ttyUSB0",
                           root_ / "dev/serial/by-id/usb-Acme_Cables_USB_Serial_Cable_A10K3L9X-if00-port0");
    }

    // A CDC-ACM device with two serial interfaces, 0 and 2, of the same ids.
    void two_interface_modem(const std::string& firstNode) {
        const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        usb_device(usb, "1209", "2ac5", "0001", "Example Labs", "Dual Serial");
        for (const auto& [name, interface] : {std::pair{"ttyACM0", "1-2:1.0"}, std::pair{"ttyACM1", "1-2:1.2"}}) {
            file(usb + "/" + interface + "/bInterfaceNumber", interface[6] == '0' ? "00" : "02");
            link(usb + "/" + interface + "/driver", "../../../../../../bus/usb/drivers/cdc_acm");
            tty(name, usb + "/" + interface, usb + "/" + interface, name == std::string("ttyACM0") ? firstNode : "");
        }
        fs::create_directories(root_ / "sys/bus/usb/drivers/cdc_acm");
    }

    // ttyS0 a UART that is there and is the console; ttyS1 a platform port
    // slot with no UART behind it (type 0), though its node exists.
    // A UART as kernels from 6.5 show it: the serial core's port device
    // (driver "port") below its controller ("ctrl"), below the platform device.
    void serial_core_uart(const std::string& name, const std::string& node) {
        const std::string platform = "sys/devices/platform/serial8250";
        const std::string ctrl = platform + "/serial8250:0", port = ctrl + "/serial8250:0.0";
        tty(name, port, port, node);
        file(port + "/tty/" + name + "/type", "4");
        for (const auto& [folder, bus, driver] : {std::tuple{port, "serial-base", "port"},
                                                  std::tuple{ctrl, "serial-base", "ctrl"},
                                                  std::tuple{platform, "platform", "serial8250"}}) {
            const std::string up(std::count(folder.begin(), folder.end(), '/') + 1, '.');
            std::string back;
            for (std::size_t i = 0; i < up.size(); ++i) back += "../";
            link(folder + "/subsystem", back + "sys/bus/" + bus);
            link(folder + "/driver", back + "sys/bus/" + bus + "/drivers/" + driver);
        }
    }

    // A USB serial device of its own at 1-N with the given strings.
    void usb_serial_device(int n, const char* pid, const std::string& serial, const std::string& manufacturer,
                           const std::string& product, const std::string& node) {
        const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(n);
        usb_device(usb, "abcd", pid, serial.c_str(), manufacturer.c_str(), product.c_str());
        const std::string port = usb + "/1-" + std::to_string(n) + ":1.0/ttyUSB" + std::to_string(n);
        tty("ttyUSB" + std::to_string(n), port, port, node);
    }

    void uarts(const std::string& node) {
        tty("ttyS0", "sys/devices/pnp0/00:05", "sys/devices/pnp0/00:05", node);
        file("sys/devices/pnp0/00:05/tty/ttyS0/type", "4");
        tty("ttyS1", "sys/devices/platform/serial8250", "sys/devices/platform/serial8250", node);
        file("sys/devices/platform/serial8250/tty/ttyS1/type", "0");
        file("sys/class/tty/console/active", "tty0 ttyS0");
    }

private:
    void usb_device(const std::string& folder, const char* vid, const char* pid, const char* serial,
                    const char* manufacturer, const char* product) {
        file(folder + "/idVendor", vid);
        file(folder + "/idProduct", pid);
        file(folder + "/serial", serial);
        file(folder + "/manufacturer", manufacturer);
        file(folder + "/product", product);
    }

    fs::path root_;
};

std::string ports(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                  std::vector<std::string> prefix = {}) {
    ProcessSetup setup;
    setup.argv = std::move(prefix);
    setup.argv.push_back(TARVO_CONFORMANCE_TOOL);
    setup.argv.push_back("ports");
    setup.argv.insert(setup.argv.end(), args.begin(), args.end());
    setup.env = env;
    setup.removedPrefixes = {"TARVO_COM"};
    const Completed done = run_to_end(setup, 30s);
    EXPECT_TRUE(done.ending && done.ending->exited && done.ending->status == 0) << done.output;
    return done.output;
}

std::string settings_of(const std::string& device) {
    return run_to_end({{"stty", "-g", "-F", device}, {}, {}, {}}, 10s).output;
}

TEST(PortsOnFakeTrees, NamesTheHardwareAndFollowsUsbMappings) {
    PtyPeer adapterLine, modemLine, uartLine;
    FakeMachine machine;
    machine.adapter(adapterLine.device());
    machine.two_interface_modem(modemLine.device());
    machine.uarts(uartLine.device());
    const std::map<std::string, std::string> env = {{"TARVO_COM3", "usb:0403:6001"},
                                                    {"TARVO_COM4", "usb:1209:2AC5:0001"},
                                                    {"TARVO_COM5", "usb:dead:beef"}};
    const std::string text = ports({"--root", machine.root()}, env);

    // COM1 is the console: named, never opened. COM2's slot has no UART.
    EXPECT_THAT(text, HasSubstr("COM1   /dev/ttyS0      the system console: not opened"));
    EXPECT_THAT(text, Not(HasSubstr("ttyS1")));
    // The adapter, found by its ids wherever it is.
    EXPECT_THAT(text, HasSubstr("COM3   /dev/ttyUSB0    free\n"
                                "       mapped as usb:0403:6001\n"
                                "       USB 0403:6001 serial A10K3L9X, Acme Cables, USB Serial Cable, interface 00, "
                                "driver ftdi_sio\n"
                                "       /dev/serial/by-id/usb-Acme_Cables_USB_Serial_Cable_A10K3L9X-if00-port0\n"));
    // Both interfaces of the modem share its ids and serial number.
    EXPECT_THAT(text, HasSubstr("COM4   (no device)     ambiguous: 2 devices match (/dev/ttyACM0, /dev/ttyACM1)"));
    EXPECT_THAT(text, HasSubstr("COM5   (no device)     not found: no USB serial device has these ids"));
    EXPECT_THAT(text, HasSubstr("-      /dev/ttyACM0    free\n"
                                "       USB 1209:2ac5 serial 0001, Example Labs, Dual Serial, interface 00, driver "
                                "cdc_acm\n"));
    EXPECT_THAT(text, HasSubstr("-      /dev/ttyACM1    not found\n"));

    const std::string json = ports({"--json", "--root", machine.root()}, env);
    EXPECT_THAT(json, HasSubstr("{\"com\": 3, \"device\": \"/dev/ttyUSB0\", \"mapping\": \"usb:0403:6001\", "
                                "\"status\": \"free\", \"usb\": {\"vid\": \"0403\", \"pid\": \"6001\", \"serial\": "
                                "\"A10K3L9X\", \"manufacturer\": \"Acme Cables\", \"product\": \"USB Serial Cable\", "
                                "\"interface\": \"00\"}, \"by_id\": "
                                "[\"/dev/serial/by-id/usb-Acme_Cables_USB_Serial_Cable_A10K3L9X-if00-port0\"], "
                                "\"driver\": \"ftdi_sio\", \"detail\": \"free\"}"));
    EXPECT_THAT(json, HasSubstr("{\"com\": null, \"device\": \"/dev/ttyACM1\", \"mapping\": null, \"status\": "
                                "\"not found\", \"usb\": {\"vid\": \"1209\""));
    const Completed parsed = run_to_end(
        {{"/usr/bin/python3", "-c",
          "import json,sys; d=json.loads(sys.argv[1]); assert isinstance(d, list) and len(d) == 6, d; print('ok')",
          json},
         {}, {}, {}},
        10s);
    EXPECT_EQ(parsed.output, "ok\n");

    // Every pty behind the tree is left as it was.
    const std::string before = settings_of(adapterLine.device());
    ports({"--root", machine.root()}, env);
    EXPECT_EQ(settings_of(adapterLine.device()), before);
}

// A tree built to trip a reader: a number no integer holds, a FIFO where an
// attribute belongs, terminal escapes and shell syntax in USB strings, and a
// console the tree names. Listed whole, printed safely, the console offered
// to no COM number.
TEST(PortsOnFakeTrees, ACraftedTreeIsListedSafely) {
    PtyPeer adapterLine, fifoLine, consoleLine;
    FakeMachine machine;
    const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
    machine.file(usb + "/idVendor", "0403");
    machine.file(usb + "/idProduct", "6015");
    machine.file(usb + "/serial", "X1;touch /tmp/tarvo-owned 'q'");
    machine.file(usb + "/manufacturer", "Evil\x1b[2J\x1b]0;title\x07" "Corp");
    machine.tty("ttyUSB99999999999999999999", usb + "/1-3:1.0/port", usb + "/1-3:1.0/port", adapterLine.device());
    const std::string fifoUsb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
    fs::create_directories(fs::path(machine.root()) / fifoUsb);
    ASSERT_EQ(::mkfifo((fs::path(machine.root()) / fifoUsb / "idVendor").c_str(), 0600), 0);
    machine.tty("ttyUSB1", fifoUsb + "/1-4:1.0/port", fifoUsb + "/1-4:1.0/port", fifoLine.device());
    // A board's UART, which no COM number reaches by default.
    machine.tty("ttyAMA0", "sys/devices/platform/uart0", "sys/devices/platform/uart0", consoleLine.device());
    machine.file("sys/class/tty/console/active", "ttyAMA0");

    const std::string text = ports({"--root", machine.root()});
    EXPECT_THAT(text, HasSubstr("/dev/ttyUSB99999999999999999999"));
    EXPECT_THAT(text, HasSubstr("Evil\\x1b[2J\\x1b]0;title\\x07Corp"));
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
    EXPECT_THAT(text, HasSubstr("='usb:0403:6015:X1;touch /tmp/tarvo-owned '\\''q'\\'''\n"));
    EXPECT_THAT(text, HasSubstr("/dev/ttyUSB1"));
    EXPECT_THAT(text, HasSubstr("-      /dev/ttyAMA0    the system console: not opened\n"));
    EXPECT_THAT(text, Not(HasSubstr("=/dev/ttyAMA0")));
}

// Strings no terminal or JSON reader should get raw: C1 controls (U+009B
// and U+009D in UTF-8, a raw 0x9b), bytes that are no UTF-8, a serial number
// with a tab and one of 200 bytes; and a UART behind the serial core's own
// devices, which shows its real driver.
TEST(PortsOnFakeTrees, OddStringsAndNewerKernels) {
    PtyPeer first, second, third, uart;
    FakeMachine machine;
    machine.usb_serial_device(1, "0001", "S1", "Bad\xc2\x9b" "31mCorp", "Osc\xc2\x9d" "0;t\x07 \x9b" "2J", first.device());
    machine.usb_serial_device(2, "0002", "TAB\tSERIAL\nX", "Latin\xe9\xff", "Plain", second.device());
    const std::string longSerial(200, 'L');
    machine.usb_serial_device(3, "0003", longSerial, "M", "P", third.device());
    machine.serial_core_uart("ttyS2", uart.device());

    const std::string text = ports({"--root", machine.root()});
    EXPECT_THAT(text, HasSubstr("Bad\\xc2\\x9b31mCorp"));
    EXPECT_THAT(text, HasSubstr("Osc\\xc2\\x9d0;t\\x07 \\x9b2J"));
    EXPECT_THAT(text, HasSubstr("Latin\\xe9\\xff"));
    for (const char* raw : {"\x9b", "\x9d", "\x07", "\xff", "\t"}) EXPECT_EQ(text.find(raw), std::string::npos) << text;
    // The tab cannot be typed into a mapping: the ids alone name the device.
    EXPECT_THAT(text, HasSubstr("=usb:abcd:0002\n"));
    // The long serial number whole, and a mapping with it that reaches the device.
    EXPECT_THAT(text, HasSubstr("serial " + longSerial + ","));
    EXPECT_THAT(text, HasSubstr("=usb:abcd:0003:" + longSerial + "\n"));
    EXPECT_THAT(ports({"--root", machine.root()}, {{"TARVO_COM1", "usb:abcd:0003:" + longSerial}}),
                HasSubstr("COM1   /dev/ttyUSB3    free"));
    EXPECT_THAT(text, HasSubstr("COM3   /dev/ttyS2      free\n       driver serial8250\n"));

    const std::string json = ports({"--json", "--root", machine.root()});
    const Completed parsed = run_to_end(
        {{"/usr/bin/python3", "-c",
          // Strict UTF-8 first: the bytes as printed, which argv decodes loosely.
          "import json,sys; d=json.loads(sys.argv[1].encode('utf-8','surrogateescape').decode('utf-8'));"
          "m={e['device']: e for e in d};"
          "print(m['/dev/ttyUSB1']['usb']['manufacturer'] == 'Bad\\x9b31mCorp',"
          " m['/dev/ttyUSB2']['usb']['manufacturer'].encode('utf-8','surrogateescape') == b'Latin\\xe9\\xff')",
          json},
         {}, {}, {}},
        10s);
    EXPECT_EQ(parsed.output, "True True\n") << json;
}

TEST(PortsOnRealDevices, SaysWhyAndLeavesEachDeviceAsItWas) {
    PtyPeer free, held;
    const std::map<std::string, std::string> env = {{"TARVO_COM1", free.device()},
                                                    {"TARVO_COM2", held.device()},
                                                    {"TARVO_COM3", "/nonexistent/tty"},
                                                    {"TARVO_COM4", "/dev/null"}};
    // Its opening line (on standard error) says it holds the port.
    ChildProcess holder({{"sh", "-c", "exec \"$0\" term \"$1\" 2>&1", TARVO_CONFORMANCE_TOOL, held.device()},
                         {}, {"TARVO_COM"}, {}});
    ASSERT_TRUE(holder.read_line(10s).has_value()) << "the holder did not open " << held.device();

    const std::string before = settings_of(free.device());
    const std::string text = ports({}, env);
    EXPECT_EQ(settings_of(free.device()), before) << "tarvo ports changed " << free.device();
    EXPECT_THAT(text, ::testing::ContainsRegex(free.device() + " +free\n"));
    EXPECT_THAT(text, HasSubstr("busy: held by another program"));
    EXPECT_THAT(text, HasSubstr("COM3   /nonexistent/tty  not found"));
    EXPECT_THAT(text, HasSubstr("COM4   /dev/null       not a serial device"));

    // A user outside the device's group is told which group to join: the
    // pty made what serial devices are, root's and group dialout's alone.
    if (geteuid() != 0) GTEST_SKIP() << "changing to user 65534 needs root";
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(chown(free.device().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(free.device().c_str(), 0660), 0);
    const std::string denied =
        ports({}, {{"TARVO_COM1", free.device()}}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_THAT(denied, HasSubstr("permission denied: the device belongs to group dialout; join it"));
    holder.close_stdin();
    holder.wait(10s);
}

}  // namespace
}  // namespace tarvo::conformance
