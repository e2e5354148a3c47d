#!/usr/bin/env python3
"""Runs one command inside a qemu virtual machine with real serial drivers.

    vm.py [options] [--] COMMAND [ARG]...

The machine boots the kernel installed on this host with a small busybox
initramfs (made once and kept in --cache), mounts this host's root read-only
over 9p under a tmpfs overlay, chroots into it and runs COMMAND in the current
directory. Its output is the machine's console (ttyS0); the exit status is
COMMAND's. Every boot ends by itself: after --timeout seconds the machine is
stopped and the run fails.

Inside, besides the console:
  /dev/ttyS1    a 16550 under the 8250 driver, on a host pty
  /dev/ttyUSB0  an FTDI adapter (0403:6001, serial TV0001) under ftdi_sio on
                the machine's xHCI controller, on a host pty
With --gadget also, with no host side:
  /dev/ttyACM0  a CDC ACM device (0525:a4a7, "Gadget Serial v2.4") under
                cdc_acm: g_serial on dummy_hcd, a USB host and device
                controller joined in software
  /dev/ttyGS0   its far end, the gadget's own serial port; writing
                dummy_udc.0 to /sys/bus/platform/drivers/dummy_udc/unbind
                unplugs the device, to .../bind plugs it in again
On the host a peer holds each pty open and echoes every byte back. With
--uart-peer the UART's far end is instead the machine's own virtio port named
tarvo.peer (/sys/class/virtio-ports/*/name), and the adapter's the port
tarvo.usbpeer: the host copies bytes between each pair, so a program in the
machine plays the instrument on the UART's and the adapter's wires.

A line "@@vm monitor: COMMAND" on the console runs COMMAND in qemu's monitor
(device_del, device_add): tests in the machine unplug the adapter (id ftdi)
and plug one in again (chardev usb1, also on a host pty with a peer).

Exits 77 (a skipped test) with the reason where qemu, the kernel or busybox is
missing, and 125 where the machine could not be run to the end.
"""

import argparse
import glob
import gzip
import lzma
import os
import re
import select
import shlex
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

SKIP = 77
RIG_FAILED = 125
QEMU = "qemu-system-x86_64"
BUSYBOX = "/bin/busybox"
# Loaded in this order, each after its dependencies.
MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay", "xhci_pci", "usbserial", "ftdi_sio",
           "virtio_console"]
# With --gadget, after those. g_serial asks for its function (usb_f_acm) by an
# alias, which insmod does not resolve: the function comes first.
GADGET_MODULES = ["dummy_hcd", "libcomposite", "u_serial", "usb_f_acm", "g_serial", "cdc_acm"]
GADGET_OPTION = "tarvo.gadget"
MONITOR_LINE = re.compile(r"@@vm monitor: (.*)")
USB_DEVICE = "usb-serial,id=ftdi,chardev=usb0,serial=TV0001"
# KVM is used only where the machine is up this soon; TCG otherwise.
KVM_BOOT_SECONDS = 10
READY_LINE = "@@vm ready"
DONE_LINE = "@@vm done"

INIT = r"""#!/bin/busybox sh
/bin/busybox mkdir -p /bin /sbin /proc /sys /dev /host /top /root
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do insmod /modules/$module || echo "insmod $module failed"; done
if grep -qw tarvo.gadget /proc/cmdline; then
    for module in $(cat /modules/gadget); do insmod /modules/$module || echo "insmod $module failed"; done
fi
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose host /host || poweroff -f
mount -t tmpfs -o size=75% top /top
mkdir -p /top/upper /top/work /top/root
mount -t overlay -o lowerdir=/host,upperdir=/top/upper,workdir=/top/work overlay /top/root || poweroff -f
root=/top/root
mkdir -p $root/run/vm
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 run $root/run/vm
while read tag path; do
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 $tag "$root$path"
done < $root/run/vm/shares
mount -t proc proc $root/proc
mount -t sysfs sys $root/sys
mount -t devtmpfs dev $root/dev
mkdir -p $root/dev/pts $root/dev/shm
mount -t devpts -o ptmxmode=666 devpts $root/dev/pts
mount -t tmpfs shm $root/dev/shm
# /tmp stays the overlay's: a tree cloned or built under the host's /tmp is
# seen there (read-only below, written into the overlay).
echo "@@vm ready"
chroot $root /bin/sh /run/vm/command </dev/console >/dev/console 2>&1
echo $? > $root/run/vm/status
sync
echo "@@vm done"
poweroff -f
"""


def say(*words):
    print("vm:", *words, file=sys.stderr, flush=True)


def skip(reason):
    print("SKIPPED:", reason, flush=True)
    sys.exit(SKIP)


def newest_kernel():
    kernels = sorted(glob.glob("/boot/vmlinuz-*"), key=os.path.getmtime)
    if not kernels:
        skip("no kernel in /boot (install linux-image-amd64)")
    kernel = kernels[-1]
    version = kernel[len("/boot/vmlinuz-"):]
    if not os.path.isdir("/lib/modules/" + version):
        skip("no /lib/modules/%s for %s" % (version, kernel))
    return kernel, version


class Modules:
    """The module files of one kernel and the order that loads them."""

    def __init__(self, version):
        self.root = "/lib/modules/" + version
        self.deps = {}
        self.paths = {}
        with open(self.root + "/modules.dep") as listing:
            for line in listing:
                path, _, deps = line.partition(":")
                self.deps[path] = deps.split()
                self.paths[self.name(path)] = path
        with open(self.root + "/modules.builtin") as listing:
            self.builtin = {self.name(line.strip()) for line in listing}

    @staticmethod
    def name(path):
        base = os.path.basename(path)
        return base.split(".ko")[0].replace("-", "_")

    def order(self, names):
        ordered = []

        def visit(path):
            for dep in self.deps[path]:
                visit(dep)
            if path not in ordered:
                ordered.append(path)

        for name in names:
            if name in self.builtin:
                continue
            if name not in self.paths:
                raise SystemExit("vm: kernel module %s not found in %s" % (name, self.root))
            visit(self.paths[name])
        return ordered

    def content(self, path):
        with open(os.path.join(self.root, path), "rb") as source:
            data = source.read()
        if path.endswith(".xz"):
            return lzma.decompress(data)
        if path.endswith(".zst"):
            return subprocess.run(["zstd", "-dc"], input=data, stdout=subprocess.PIPE, check=True).stdout
        if path.endswith(".gz"):
            return gzip.decompress(data)
        return data


class Cpio:
    """A newc archive, as the kernel unpacks an initramfs."""

    def __init__(self):
        self.parts = []
        self.inode = 1

    def add(self, name, mode, data=b"", rdev=(0, 0)):
        encoded = name.encode() + b"\0"
        fields = [self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(encoded), 0]
        self.inode += 1
        self.parts.append(b"070701" + b"".join(b"%08x" % field for field in fields) + encoded)
        self.pad()
        self.parts.append(data)
        self.pad()

    def pad(self):
        size = sum(len(part) for part in self.parts)
        self.parts.append(b"\0" * (-size % 4))

    def bytes(self):
        self.add("TRAILER!!!", 0)
        return b"".join(self.parts)


def make_initramfs(version, path):
    modules = Modules(version)
    archive = Cpio()
    for directory in ["bin", "dev", "modules"]:
        archive.add(directory, 0o40755)
    archive.add("dev/console", 0o20600, rdev=(5, 1))
    with open(BUSYBOX, "rb") as busybox:
        archive.add("bin/busybox", 0o100755, busybox.read())
    archive.add("init", 0o100755, INIT.encode())
    base = modules.order(MODULES)
    gadget = [module for module in modules.order(GADGET_MODULES) if module not in base]
    for listing, chosen in (("order", base), ("gadget", gadget)):
        order = []
        for module in chosen:
            file_name = modules.name(module) + ".ko"
            archive.add("modules/" + file_name, 0o100644, modules.content(module))
            order.append(file_name)
        archive.add("modules/" + listing, 0o100644, ("\n".join(order) + "\n").encode())
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".part", "wb") as out:
        out.write(gzip.compress(archive.bytes(), 6))
    os.replace(path + ".part", path)


def cached_initramfs(cache, kernel, version):
    path = os.path.join(cache, "initramfs-%s.cpio.gz" % version)
    sources = [kernel, BUSYBOX, __file__]
    if not os.path.exists(path) or os.path.getmtime(path) < max(os.path.getmtime(s) for s in sources):
        started = time.monotonic()
        make_initramfs(version, path)
        say("made %s in %.1f s" % (path, time.monotonic() - started))
    return path


class KvmVerdict:
    """Whether KVM failed to boot the machine since this host started: every
    boot would otherwise spend KVM_BOOT_SECONDS finding out again."""

    def __init__(self, cache):
        self.path = os.path.join(cache, "kvm-failed")
        try:
            with open("/proc/sys/kernel/random/boot_id") as boot_id:
                self.host_boot = boot_id.read().strip()
        except OSError:
            self.host_boot = ""

    def failed(self):
        try:
            with open(self.path) as note:
                return self.host_boot != "" and note.read().strip() == self.host_boot
        except OSError:
            return False

    def record(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with open(self.path, "w") as note:
            note.write(self.host_boot + "\n")


class Echo(threading.Thread):
    """The host's end of a guest serial line: every byte comes back."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.start()

    def run(self):
        while True:
            try:
                data = os.read(self.fd, 4096)
            except OSError:
                return  # the machine is gone
            if not data:
                return
            try:
                os.write(self.fd, data)
            except OSError:
                return


class Relay:
    """Joins two host ptys: what either end's device sends goes to the other."""

    def __init__(self, first, second):
        self.fds = []
        for path in (first, second):
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(fd)
            attrs = termios.tcgetattr(fd)
            attrs[3] &= ~termios.ECHO
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            self.fds.append(fd)
        for source, sink in ((0, 1), (1, 0)):
            threading.Thread(target=self.copy, args=(self.fds[source], self.fds[sink]), daemon=True).start()

    @staticmethod
    def copy(source, sink):
        while True:
            try:
                data = os.read(source, 4096)
                if not data:
                    return
                while data:
                    data = data[os.write(sink, data):]
            except OSError:
                return  # the machine is gone

    def close(self):
        for fd in self.fds:
            os.close(fd)


class Monitor:
    """qemu's human monitor on a unix socket."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.lock = threading.Lock()
        self.read_until_prompt()

    def read_until_prompt(self):
        data = b""
        self.sock.settimeout(30)
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            data += chunk
        return re.sub(rb"\x1b\[[0-9;]*[A-Za-z]|\r", b"", data).decode(errors="replace")

    def run(self, command):
        with self.lock:
            self.sock.sendall(command.encode() + b"\n")
            return self.read_until_prompt()


def pty_paths(monitor):
    paths = {}
    for line in monitor.run("info chardev").splitlines():
        found = re.match(r"(\w+): filename=pty:(\S+)", line.strip())
        if found:
            paths[found.group(1)] = found.group(2)
    return paths


def command_script(cwd, env, command):
    lines = ["cd %s || exit 125" % shlex.quote(cwd)]
    lines += ["export %s" % shlex.quote(setting) for setting in env]
    lines.append("exec " + " ".join(shlex.quote(word) for word in command))
    return "\n".join(lines) + "\n"


def qemu_arguments(kernel, initramfs, run_dir, shares, accel, monitor_path, memory, uart_peer, gadget):
    arguments = [QEMU, "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
                 "-accel", accel, "-m", str(memory), "-smp", "2", "-cpu", os.environ.get("TARVO_VM_CPU", "qemu64" if accel.startswith("tcg") else "host"),
                 "-kernel", kernel, "-initrd", initramfs,
                 "-append", "console=ttyS0,115200 quiet loglevel=3 panic=-1 rdinit=/init"
                 + (" " + GADGET_OPTION if gadget else ""),
                 "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
                 "-chardev", "pty,id=uart1", "-serial", "chardev:uart1",
                 "-chardev", "pty,id=usb0", "-device", "qemu-xhci,id=xhci", "-device", USB_DEVICE,
                 # for the adapter plugged in again: qemu frees usb0 only some time after device_del
                 "-chardev", "pty,id=usb1",
                 "-monitor", "unix:%s,server=on,wait=off" % monitor_path,
                 "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap",
                 "-virtfs", "local,path=%s,mount_tag=run,security_model=none,multidevs=remap" % run_dir]
    if uart_peer:
        arguments += ["-device", "virtio-serial-pci,id=virtio_serial", "-chardev", "pty,id=peer",
                      "-device", "virtserialport,chardev=peer,name=tarvo.peer", "-chardev", "pty,id=usbpeer",
                      "-device", "virtserialport,chardev=usbpeer,name=tarvo.usbpeer"]
    for tag, path in shares:
        arguments += ["-virtfs", "local,path=%s,mount_tag=%s,security_model=none,multidevs=remap" % (path, tag)]
    return arguments


class Boot:
    """One run of the machine: console to our output, monitor lines obeyed."""

    def __init__(self, arguments, timeout, quiet_until_ready):
        self.started = time.monotonic()
        self.deadline = self.started + timeout
        self.ready_at = None
        self.quiet = quiet_until_ready
        self.held = []
        self.done = False
        self.process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)

    def watch(self, monitor, ready_by=None):
        """Copies the console until the machine stops; False if it was stopped by a limit."""
        pending = b""
        out = sys.stdout.buffer
        while True:
            now = time.monotonic()
            limit = self.deadline if self.ready_at or ready_by is None else min(self.deadline, ready_by)
            if now >= limit:
                self.process.kill()
                self.process.wait()
                return False
            ready, _, _ = select.select([self.process.stdout], [], [], min(1.0, limit - now))
            if not ready:
                continue
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                self.process.wait()
                return True
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.line(line.replace(b"\r", b"") + b"\n", monitor, out)

    def line(self, line, monitor, out):
        text = line.decode(errors="replace").strip()
        if text == READY_LINE:
            self.ready_at = time.monotonic()
            self.held = []
            return
        if text == DONE_LINE:
            self.done = True
        if (self.ready_at is None or self.done) and self.quiet:
            self.held.append(line)
            return
        out.write(line)
        out.flush()
        order = MONITOR_LINE.search(text)
        if order:
            # The monitor echoes the command as typed, then answers on the next lines.
            reply = monitor.run(order.group(1)).partition("\n")[2].replace("(qemu)", "").strip()
            say("monitor %s: %s" % (order.group(1), reply or "done"))


def run(options):
    if shutil.which(QEMU) is None:
        skip("%s is not installed (install qemu-system-x86)" % QEMU)
    if not os.access(BUSYBOX, os.X_OK):
        skip("no %s (install busybox-static)" % BUSYBOX)
    kernel, version = newest_kernel()
    initramfs = cached_initramfs(options.cache, kernel, version)

    shares = [("share%d" % index, os.path.abspath(path)) for index, path in enumerate(options.writable)]
    with tempfile.TemporaryDirectory(prefix="tarvo-vm-") as run_dir:
        with open(os.path.join(run_dir, "command"), "w") as script:
            script.write(command_script(os.getcwd(), options.env, options.command))
        with open(os.path.join(run_dir, "shares"), "w") as listing:
            listing.writelines("%s %s\n" % share for share in shares)

        accelerators = ["tcg,thread=multi"]
        kvm_verdict = KvmVerdict(options.cache)
        if os.access("/dev/kvm", os.R_OK | os.W_OK) and not kvm_verdict.failed():
            accelerators.insert(0, "kvm")
        for accel in accelerators:
            monitor_path = os.path.join(run_dir, "monitor")
            arguments = qemu_arguments(kernel, initramfs, run_dir, shares, accel, monitor_path, options.memory,
                                       options.uart_peer, options.gadget)
            boot = Boot(arguments, options.timeout, not options.verbose)
            try:
                monitor = Monitor(monitor_path, time.monotonic() + 10)
            except OSError as error:
                boot.process.kill()
                boot.process.wait()
                output = boot.process.stdout.read().decode(errors="replace")
                if accel == "kvm":
                    # A nested KVM may refuse the host's CPU model outright.
                    say("qemu with KVM did not start; TCG instead: " + output.strip().splitlines()[-1:][0]
                        if output.strip() else "qemu with KVM did not start; TCG instead")
                    kvm_verdict.record()
                    continue
                skip("qemu cannot start: %s %s" % (error, output.strip()))
            ptys = pty_paths(monitor)
            relays = [Relay(ptys.pop("uart1"), ptys.pop("peer")), Relay(ptys.pop("usb0"), ptys.pop("usbpeer"))
                      ] if options.uart_peer else []
            peers = [Echo(path) for path in ptys.values()]
            ready_by = boot.started + KVM_BOOT_SECONDS if accel == "kvm" else None
            finished = boot.watch(monitor, ready_by)
            for peer in peers:
                os.close(peer.fd)
            for relay in relays:
                relay.close()
            spent = time.monotonic() - boot.started
            if accel == "kvm" and boot.ready_at is None:
                say("KVM did not boot in %d s; TCG instead" % KVM_BOOT_SECONDS)
                kvm_verdict.record()
                continue
            break
        if boot.ready_at is None:
            sys.stdout.buffer.writelines(boot.held)  # why it never came up
        boot_time = (boot.ready_at - boot.started) if boot.ready_at else spent
        say("%s: boot %.1f s, whole run %.1f s" % (accel.split(",")[0], boot_time, spent))
        if not finished:
            say("stopped after %d s: the run did not end by itself" % options.timeout)
            return RIG_FAILED
        try:
            with open(os.path.join(run_dir, "status")) as status:
                return int(status.read().strip())
        except (OSError, ValueError):
            say("the machine stopped without the command's exit status")
            return RIG_FAILED


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "tarvo-vm"),
                        help="where the initramfs is kept")
    parser.add_argument("--timeout", type=int, default=600, help="seconds before the machine is stopped")
    parser.add_argument("--writable", action="append", default=[],
                        help="a host directory the command may write to (at the same path)")
    parser.add_argument("--env", action="append", default=[], help="NAME=VALUE for the command")
    parser.add_argument("--memory", type=int, default=2048, help="MiB of memory")
    parser.add_argument("--uart-peer", action="store_true",
                        help="the UART's and the adapter's far ends are the virtio ports tarvo.peer and tarvo.usbpeer")
    parser.add_argument("--gadget", action="store_true",
                        help="a CDC ACM gadget too: /dev/ttyACM0, its far end /dev/ttyGS0")
    parser.add_argument("--verbose", action="store_true", help="show the boot messages too")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    if options.command[:1] == ["--"]:
        options.command = options.command[1:]
    if not options.command:
        parser.error("no command")
    sys.exit(run(options))


if __name__ == "__main__":
    main()
