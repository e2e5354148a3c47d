#include "fake_peer.h"

#include <algorithm>

namespace tarvo::conformance {

FakePeer::FakePeer(int com) : name_("\\\\.\\COM" + std::to_string(com)) { fake::add_line(name_); }

bool FakePeer::send(const std::string& bytes) {
    if (own().hungUp) return false;
    own().input.insert(own().input.end(), bytes.begin(), bytes.end());
    return true;
}

std::string FakePeer::receive(std::size_t count, std::chrono::milliseconds) {
    std::vector<std::uint8_t>& output = own().output;
    const auto end = output.begin() + static_cast<std::ptrdiff_t>(std::min(count, output.size()));
    std::string taken(output.begin(), end);
    output.erase(output.begin(), end);
    return taken;
}

DeviceLine FakePeer::line() const {
    const dev::DCB& dcb = own().dcb;
    DeviceLine line;
    line.outputSpeed = line.inputSpeed = dcb.BaudRate;
    line.dataBits = dcb.ByteSize;
    line.twoStopBits = dcb.StopBits == dev::TWOSTOPBITS;
    line.parity = dcb.Parity != dev::NOPARITY;
    line.oddParity = dcb.Parity == dev::ODDPARITY || dcb.Parity == dev::MARKPARITY;
    line.stickParity = dcb.Parity == dev::MARKPARITY || dcb.Parity == dev::SPACEPARITY;
    // One flag for both directions, as a terminal driver holds it.
    line.rtsCts = dcb.fOutxCtsFlow || dcb.fRtsControl == dev::RTS_CONTROL_HANDSHAKE;
    line.xonXoffOutput = dcb.fOutX;
    line.xonXoffInput = dcb.fInX;
    line.hasModemLines = true;
    line.rts = dcb.fRtsControl == dev::RTS_CONTROL_ENABLE;
    line.dtr = dcb.fDtrControl == dev::DTR_CONTROL_ENABLE;
    return line;
}

bool FakePeer::set_xon_xoff(bool on) {
    own().dcb.fOutX = own().dcb.fInX = on ? 1 : 0;
    return true;
}

void FakePeer::drain() {
    own().input.clear();
    own().output.clear();
}

bool FakePeer::hang_up() {
    own().hungUp = true;
    own().input.clear();
    return true;
}

}  // namespace tarvo::conformance
