"""The lab: Debian's stock kernel in a qemu guest with emulated USB
adapters, so that the tool meets real kernel drivers (ftdi_sio, hidraw
through uhid) that this machine's kernel does not have.

- The kernel comes from Debian's package, downloaded once into a cache
  outside the checkout (KESTRAV_LAB_CACHE, default ~/.cache/kestrav-lab) and
  unpacked with dpkg -x; nothing is installed into /boot.
- The initramfs holds busybox, the driver modules (their dependencies read
  from each module's .modinfo), the tool with the shared objects it needs,
  and the uhid helper. It is rebuilt for every run, in a temporary folder.
- The guest runs under TCG: on these machines /dev/kvm exists but cannot
  run a guest. KESTRAV_LAB_KVM=1 asks for KVM where it does work.
- The console is the guest's command line: Guest.run() sends a command and
  reads its output up to the line "lab: done STATUS".
- Two FTDI adapters: "KSBUS0" writes what the guest sends into a file on
  the host; "KLINK0" is a socket chardev that connects to a Relay, which
  passes its bytes to a simulator and drops the socket to unplug it. qemu
  logs what the driver asks of each chip (usb_serial_* trace events).
"""
import glob
import json
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.environ.get("KESTRAV_LAB_CACHE",
                       os.path.expanduser("~/.cache/kestrav-lab"))
# Loaded in this order; each one's .modinfo dependencies come first.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial",
           "ftdi_sio", "hid", "hid-generic", "uhid", "usbhid"]
BOOT_SECONDS = 90


# Each guest architecture: Debian's name for it, qemu's machine, the
# console's device, and what qemu traces from the start besides the USB
# serial chips.
ARCHES = {
    "amd64": {"qemu": ["qemu-system-x86_64"], "console": "ttyS0",
              "trace": []},
    "arm64": {"qemu": ["qemu-system-aarch64", "-M", "virt", "-cpu",
                       "cortex-a57"],
              "console": "ttyAMA0",
              "trace": ["pl011_baudrate_change"]},
}
# ELF e_machine values of the tools a guest can run.
ELF_MACHINES = {62: "amd64", 183: "arm64"}
# Where the shared objects of a cross-built tool come from.
CROSS_LIBS = {"arm64": "/usr/aarch64-linux-gnu/lib"}


def elf_arch(binary):
    """The Debian architecture an ELF binary is built for."""
    with open(binary, "rb") as f:
        head = f.read(20)
    return ELF_MACHINES[int.from_bytes(head[18:20], "little")]


def host_arch():
    return subprocess.run(["dpkg", "--print-architecture"], check=True,
                          capture_output=True, text=True).stdout.strip()


def apt_get(arch, *args):
    """Runs apt-get (or apt-cache) for arch with its own state in the cache:
    its own package lists and sources, so that the machine's apt
    configuration (and dpkg's architectures) is never changed."""
    state = os.path.join(CACHE, "apt-" + arch)
    os.makedirs(os.path.join(state, "lists", "partial"), exist_ok=True)
    os.makedirs(os.path.join(state, "cache", "archives", "partial"),
                exist_ok=True)
    suite = "bookworm"
    with open("/etc/os-release") as f:
        for line in f:
            if line.startswith("VERSION_CODENAME="):
                suite = line.split("=", 1)[1].strip().strip('"') or suite
    sources = os.path.join(state, "sources.list")
    with open(sources, "w") as f:
        for uri, dist in (("debian", suite), ("debian", suite + "-updates"),
                          ("debian-security", suite + "-security")):
            f.write("deb [arch=%s signed-by=/usr/share/keyrings/"
                    "debian-archive-keyring.gpg] http://deb.debian.org/%s "
                    "%s main\n" % (arch, uri, dist))
    options = ["-o", "Dir::State::Lists=" + os.path.join(state, "lists"),
               "-o", "Dir::Cache=" + os.path.join(state, "cache"),
               "-o", "Dir::Etc::SourceList=" + sources,
               "-o", "Dir::Etc::SourceParts=" + os.path.join(state, "none"),
               "-o", "Dir::State::status=/dev/null",
               "-o", "APT::Architecture=" + arch,
               "-o", "APT::Architectures::=" + arch,
               "-o", "APT::Sandbox::User=root"]
    return subprocess.run([args[0]] + options + list(args[1:]), cwd=CACHE,
                          capture_output=True, text=True)


def debian_package(arch, pattern, name_of):
    """The newest cached .deb matching pattern, downloaded when there is
    none: name_of(arch) gives the package's name, or None when the lists
    do not know it yet. The lists are fetched when they lack the package.
    Returns the unpacked tree."""
    os.makedirs(CACHE, exist_ok=True)
    debs = sorted(glob.glob(os.path.join(CACHE, pattern)))
    for fetch_lists in (False, True):
        if debs:
            break
        if fetch_lists:
            apt_get(arch, "apt-get", "update", "-qq")
        name = name_of(arch)
        out = apt_get(arch, "apt-get", "download", "-q", name) if name \
            else None
        if fetch_lists and (out is None or out.returncode != 0):
            raise RuntimeError("no Debian package for %s: %s"
                               % (pattern, out.stderr if out else ""))
        debs = sorted(glob.glob(os.path.join(CACHE, pattern)))
    deb = debs[-1]
    tree = deb[:-4]
    if not os.path.isdir(tree):
        subprocess.run(["dpkg", "-x", deb, tree + ".part"], check=True)
        os.rename(tree + ".part", tree)
    return tree


def kernel_name(arch):
    out = apt_get(arch, "apt-cache", "depends", "linux-image-" + arch).stdout
    names = re.findall(r"Depends: (linux-image-\S+-%s)" % arch, out)
    return names[0] if names else None


def kernel(arch):
    """Debian's stock kernel for arch: (vmlinuz, modules folder)."""
    tree = debian_package(arch, "linux-image-*-%s_*.deb" % arch, kernel_name)
    vmlinuz = glob.glob(os.path.join(tree, "boot", "vmlinuz-*"))[0]
    modules = glob.glob(os.path.join(tree, "lib", "modules", "*"))[0]
    return vmlinuz, modules


def busybox(arch):
    """A static busybox for the guest: this machine's, or Debian's for
    another architecture."""
    if arch == host_arch():
        return shutil.which("busybox") or "/bin/busybox"
    tree = debian_package(arch, "busybox-static_*_%s.deb" % arch,
                          lambda _: "busybox-static")
    return os.path.join(tree, "bin", "busybox")


def modinfo_depends(path):
    """A module's depends= from its .modinfo section (readelf reads a
    module of any architecture)."""
    out = subprocess.run(["readelf", "-p", ".modinfo", path],
                         capture_output=True, text=True, check=True).stdout
    for field in re.findall(r"\]\s+(\S+)", out):
        if field.startswith("depends="):
            return [d for d in field[8:].split(",") if d]
    return []


def module_order(modules_dir):
    """[(name, path)] of MODULES with their dependencies, each after what it
    needs."""
    paths = {}
    for path in glob.glob(os.path.join(modules_dir, "kernel", "**", "*.ko"),
                          recursive=True):
        paths[os.path.basename(path)[:-3].replace("-", "_")] = path
    order = []

    def add(name):
        key = name.replace("-", "_")
        if key in (k for k, _ in order):
            return
        for dep in modinfo_depends(paths[key]):
            add(dep)
        order.append((key, paths[key]))
    for name in MODULES:
        add(name)
    return order


def shared_objects(binary, arch):
    """[(path on this machine, path in the guest)] of what binary loads:
    ldd's answer for this machine's architecture; for another, the
    DT_NEEDED entries followed through the binary's RUNPATH and the cross
    C library, all put in the guest's /lib."""
    if arch == host_arch():
        out = subprocess.run(["ldd", binary], capture_output=True, text=True,
                             check=True).stdout
        return [(m, m) for m in re.findall(r"(/\S+) \(0x", out)]
    libs = CROSS_LIBS[arch]
    found, todo = [], [binary]
    while todo:
        elf = todo.pop()
        dynamic = subprocess.run(["readelf", "-d", "-l", elf],
                                 capture_output=True, text=True,
                                 check=True).stdout.replace(
                                     "$ORIGIN", os.path.dirname(elf))
        for interp in re.findall(r"interpreter: (/\S+)\]", dynamic):
            found.append((os.path.join(libs, os.path.basename(interp)),
                          interp))
        dirs = [d for r in re.findall(r"R(?:UN)?PATH.*\[(.*)\]", dynamic)
                for d in r.split(":")] + [libs]
        for name in re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic):
            if any(os.path.basename(g) == name for _, g in found):
                continue
            path = next(os.path.join(d, name) for d in dirs
                        if os.path.exists(os.path.join(d, name)))
            found.append((path, "/lib/" + name))
            todo.append(path)
    return found


def build_initramfs(work, tool, pad, arch):
    """Writes work/initramfs.cpio; returns its path."""
    root = os.path.join(work, "root")
    for d in ("bin", "sbin", "etc", "proc", "sys", "dev", "tmp",
              "lib/modules", "lib/mdev", "lib64", "usr/lib"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy(busybox(arch), os.path.join(root, "bin", "busybox"))
    # The applets this machine's busybox has: Debian builds every
    # architecture's alike.
    applets = subprocess.run([busybox(host_arch()), "--list"],
                             capture_output=True, text=True,
                             check=True).stdout.split()
    for applet in applets:
        if applet == "busybox":  # a link to itself would make a loop
            continue
        link = os.path.join(root, "bin", applet)
        if not os.path.exists(link):
            os.symlink("busybox", link)
    for name in ("mdev",):
        os.symlink("../bin/busybox", os.path.join(root, "sbin", name))
    shutil.copy(os.path.join(HERE, "guest", "init"), os.path.join(root, "init"))
    shutil.copy(os.path.join(HERE, "guest", "mdev.conf"),
                os.path.join(root, "etc", "mdev.conf"))
    shutil.copy(os.path.join(HERE, "guest", "serial-by-id"),
                os.path.join(root, "lib", "mdev", "serial-by-id"))
    _, modules_dir = kernel(arch)
    names = []
    for name, path in module_order(modules_dir):
        shutil.copy(path, os.path.join(root, "lib", "modules", name + ".ko"))
        names.append(name)
    with open(os.path.join(root, "lib", "modules", "order"), "w") as f:
        f.write("\n".join(names) + "\n")
    # The tool and what it loads. The build tree's RUNPATH is absolute, so
    # the library goes where the loader looks by default.
    shutil.copy(tool, os.path.join(root, "bin", "kestrav"))
    for lib, guest_path in shared_objects(tool, arch):
        dest = (os.path.join(root, "usr", "lib", os.path.basename(lib))
                if "libKestrav" in lib else root + guest_path)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(os.path.realpath(lib), dest)
    shutil.copy(pad, os.path.join(root, "bin", "uhid_pad"))
    image = os.path.join(work, "initramfs.cpio")
    files = subprocess.run(["find", "."], cwd=root, capture_output=True,
                           check=True).stdout
    with open(image, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root,
                       input=files, stdout=out, check=True)
    return image


class Relay:
    """The far end of the link adapter's socket chardev. qemu connects here
    (and again after each drop); the bytes go to and from whatever
    simulator is attached. Dropping qemu's socket unplugs the adapter."""

    def __init__(self):
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(4)
        self.port = self.server.getsockname()[1]
        self.guest = None  # qemu's connection
        self.device = None  # the simulator's
        self.accepted_at = self.first_byte_at = None
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def attach(self, address):
        """Connects to a simulator at tcp:HOST:PORT; drops any earlier one."""
        host, port = address[4:].rsplit(":", 1)
        with self.lock:
            if self.device:
                self.device.close()
            self.device = socket.create_connection((host, int(port)))

    def detach(self):
        with self.lock:
            if self.device:
                self.device.close()
            self.device = None

    def unplug(self):
        """Closes qemu's side: the adapter detaches; qemu connects again
        about a second later and the adapter comes back."""
        with self.lock:
            if self.guest:
                self.guest.close()
            self.guest = None

    def gap(self):
        """From qemu's latest connection (the adapter is back) to the
        first byte the guest sent through it."""
        if self.first_byte_at is None:
            return float("nan")
        return self.first_byte_at - self.accepted_at

    def _pump(self):
        while self.running:
            with self.lock:
                socks = [s for s in (self.server, self.guest, self.device)
                         if s is not None]
            try:
                ready, _, _ = select.select(socks, [], [], 0.05)
            except (OSError, ValueError):
                continue
            for s in ready:
                with self.lock:
                    if s is self.server:
                        conn, _ = s.accept()
                        if self.guest:
                            self.guest.close()
                        self.guest = conn
                        self.accepted_at = time.monotonic()
                        self.first_byte_at = None
                        continue
                    if s is not self.guest and s is not self.device:
                        continue  # dropped meanwhile
                    try:
                        data = s.recv(65536)
                    except OSError:
                        data = b""
                    if s is self.guest and self.first_byte_at is None:
                        self.first_byte_at = time.monotonic()
                    other = self.device if s is self.guest else self.guest
                    if not data:
                        s.close()
                        if s is self.guest:
                            self.guest = None
                        else:
                            self.device = None
                        continue
                    if other is not None:
                        try:
                            other.sendall(data)
                        except OSError:
                            pass  # dropped while the bytes were in flight

    def close(self):
        self.running = False
        self.thread.join()
        for s in (self.server, self.guest, self.device):
            if s:
                s.close()


class Guest:
    """One boot of the lab's guest, with the two adapters."""

    def __init__(self, tool, pad, work):
        self.work = work
        self.arch = elf_arch(tool)
        self.console_port = ARCHES[self.arch]["console"]
        vmlinuz, _ = kernel(self.arch)
        image = build_initramfs(work, tool, pad, self.arch)
        self.sbus_file = os.path.join(work, "sbus-out.bin")
        self.trace = os.path.join(work, "qemu-trace.log")
        self.qmp_path = os.path.join(work, "qmp.sock")
        self.relay = Relay()
        accel = ["-accel", "kvm"] if os.environ.get("KESTRAV_LAB_KVM") == "1" \
            else ["-accel", "tcg"]
        self.proc = subprocess.Popen(
            [*ARCHES[self.arch]["qemu"], *accel, "-m", "512", "-smp", "1",
             "-nodefaults", "-no-reboot", "-display", "none",
             "-kernel", vmlinuz, "-initrd", image,
             "-append", "console=%s quiet loglevel=3 panic=-1"
             % self.console_port,
             "-serial", "stdio",
             "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
             "-trace", "usb_serial_set_*",
             *[a for t in ARCHES[self.arch]["trace"] for a in ("-trace", t)],
             "-D", self.trace,
             "-device", "qemu-xhci,id=xhci",
             "-chardev", "file,id=sbus0,path=%s" % self.sbus_file,
             "-device", self.SBUS_DEVICE,
             "-chardev", "socket,id=link0,host=127.0.0.1,port=%d,reconnect=1"
             % self.relay.port,
             "-device", "usb-serial,id=link,chardev=link0,serial=KLINK0"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=open(os.path.join(work, "qemu-stderr.log"), "wb"))
        self.buffer = b""
        self.console = open(os.path.join(work, "console.log"), "wb")
        self._read_until(b"lab: ready\n", BOOT_SECONDS)
        self.qmp = self._qmp_connect()

    SBUS_DEVICE = "usb-serial,id=sbus,chardev=sbus0,serial=KSBUS0"

    # --- the console ------------------------------------------------------
    def _read_until(self, marker, seconds):
        end = time.monotonic() + seconds
        fd = self.proc.stdout.fileno()
        while True:
            at = self.buffer.find(marker)
            if at >= 0:
                out = self.buffer[:at]
                self.buffer = self.buffer[at + len(marker):]
                return out
            left = end - time.monotonic()
            if left <= 0 or self.proc.poll() is not None:
                raise RuntimeError("guest: no %r in %d s; last output: %r"
                                   % (marker, seconds, self.buffer[-2000:]))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                data = os.read(fd, 65536)
                self.console.write(data)
                self.console.flush()
                self.buffer += data

    def run_bytes(self, command, seconds=60):
        """Runs a shell command in the guest; returns (status, output as
        the console carried it)."""
        self.proc.stdin.write(command.encode() + b"\n")
        self.proc.stdin.flush()
        out = self._read_until(b"lab: done ", seconds)
        status = int(self._read_until(b"\n", 5))
        return status, out

    def run(self, command, seconds=60):
        """Runs a shell command in the guest; returns (status, output)."""
        status, out = self.run_bytes(command, seconds)
        return status, out.decode(errors="replace")

    def check(self, command, seconds=60):
        status, out = self.run(command, seconds)
        if status != 0:
            _, err = self.run("cat /tmp/lab.err")
            raise AssertionError("guest: %r exited %d:\n%s%s"
                                 % (command, status, out, err))
        return out

    def start(self, command):
        """Starts a command in the guest's background; wait_jobs() waits
        for it."""
        self.check("(%s) & lab_jobs=\"$lab_jobs $!\"" % command)

    def wait_jobs(self, seconds=30):
        """Waits for every job start() started, for a bounded time: a job
        still running then is killed, with what ps shows, and the test
        fails, rather than every command after it waiting behind it."""
        status, out = self.run(
            "(for i in $(seq %d); do alive=; for p in $lab_jobs; do "
            "kill -0 $p 2>/dev/null && alive=1; done; [ -z \"$alive\" ] && "
            "exit 0; usleep 100000; done; ps; exit 1); s=$?; "
            "[ $s = 0 ] || kill -9 $lab_jobs 2>/dev/null; wait; lab_jobs=; "
            "[ $s = 0 ]" % (seconds * 10), seconds + 30)
        if status != 0:
            raise AssertionError("guest: jobs still running after %d s:\n%s"
                                 % (seconds, out))

    def wait_for(self, command, seconds=20):
        """Runs command until it succeeds; returns its output."""
        end = time.monotonic() + seconds
        while True:
            status, out = self.run(command)
            if status == 0:
                return out
            if time.monotonic() > end:
                raise AssertionError("guest: %r never succeeded: %s"
                                     % (command, out))
            time.sleep(0.2)

    # --- QMP --------------------------------------------------------------
    def _qmp_connect(self):
        s = socket.socket(socket.AF_UNIX)
        s.connect(self.qmp_path)
        s.settimeout(30)
        self.qmp_buffer = b""
        self.qmp_events = []
        self.qmp_sock = s
        self._qmp_message()  # the greeting
        self.qmp_command("qmp_capabilities")
        return s

    def _qmp_message(self):
        while b"\n" not in self.qmp_buffer:
            data = self.qmp_sock.recv(65536)
            if not data:
                raise RuntimeError("qmp: qemu closed the socket")
            self.qmp_buffer += data
        line, self.qmp_buffer = self.qmp_buffer.split(b"\n", 1)
        return json.loads(line)

    def qmp_command(self, command, **arguments):
        msg = {"execute": command}
        if arguments:
            msg["arguments"] = arguments
        self.qmp_sock.sendall(json.dumps(msg).encode() + b"\n")
        while True:
            reply = self._qmp_message()
            if "event" in reply:
                self.qmp_events.append(reply)
            if "error" in reply:
                raise RuntimeError("qmp %s: %s" % (command, reply["error"]))
            if "return" in reply:
                return reply["return"]

    def trace_event(self, name, enable):
        """Turns a qemu trace event on or off while the guest runs (the
        PL011's register writes include every byte of the console)."""
        self.qmp_command("trace-event-set-state", name=name, enable=enable)

    def replug_sbus(self):
        """Unplugs the SBUS adapter, waits for qemu to say it is gone, and
        plugs it in again. Returns the monotonic time of the device_add."""
        self.qmp_command("device_del", id="sbus")
        while not any(e.get("event") == "DEVICE_DELETED" and
                      e.get("data", {}).get("device") == "sbus"
                      for e in self.qmp_events):
            self.qmp_events.append(self._qmp_message())
        self.qmp_events.clear()
        fields = dict(f.split("=", 1) for f in self.SBUS_DEVICE.split(",")[1:])
        added = time.monotonic()
        self.qmp_command("device_add", driver="usb-serial", **fields)
        return added

    # --- what the host saw ------------------------------------------------
    def sbus_bytes(self):
        with open(self.sbus_file, "rb") as f:
            return f.read()

    def trace_lines(self):
        with open(self.trace, errors="replace") as f:
            return f.read().splitlines()

    def close(self):
        try:
            self.proc.stdin.write(b"exit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.relay.close()
        self.console.close()
