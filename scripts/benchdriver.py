"""What the benchmark drivers share: the viewer (VIEWER) started on the X
display in DISPLAY with its trace read as it comes, the screen watched and
keys pressed through Xlib and XTest (ctypes, so that neither costs a process
while the viewer works), files dropped from the page cache, the first frame
on screen, steps through frames, and the summary table."""
import ctypes
import json
import os
import re
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

VIEWER = os.environ.get('VIEWER')
WORK = os.environ.get('WORK')
c_int, c_uint, c_ulong, c_void_p, c_char_p = ctypes.c_int, ctypes.c_uint, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_char_p


class XImage(ctypes.Structure):
    _fields_ = [('width', c_int), ('height', c_int), ('xoffset', c_int), ('format', c_int), ('data', c_void_p),
                ('byte_order', c_int), ('bitmap_unit', c_int), ('bitmap_bit_order', c_int), ('bitmap_pad', c_int),
                ('depth', c_int), ('bytes_per_line', c_int), ('bits_per_pixel', c_int), ('red_mask', c_ulong),
                ('green_mask', c_ulong), ('blue_mask', c_ulong), ('obdata', c_void_p), ('create_image', c_void_p),
                ('destroy_image', c_void_p)]


DESTROY = ctypes.CFUNCTYPE(c_int, ctypes.POINTER(XImage))


class Screen:
    def __init__(self):
        x = self.x = ctypes.cdll.LoadLibrary('libX11.so.6')
        self.xtest = ctypes.cdll.LoadLibrary('libXtst.so.6')
        x.XOpenDisplay.restype = c_void_p
        x.XOpenDisplay.argtypes = [c_char_p]
        x.XDefaultRootWindow.restype = c_ulong
        x.XDefaultRootWindow.argtypes = [c_void_p]
        x.XGetImage.restype = ctypes.POINTER(XImage)
        x.XGetImage.argtypes = [c_void_p, c_ulong, c_int, c_int, c_uint, c_uint, c_ulong, c_int]
        x.XStringToKeysym.restype = c_ulong
        x.XStringToKeysym.argtypes = [c_char_p]
        x.XKeysymToKeycode.restype = ctypes.c_ubyte
        x.XKeysymToKeycode.argtypes = [c_void_p, c_ulong]
        x.XSetInputFocus.argtypes = [c_void_p, c_ulong, c_int, c_ulong]
        x.XRaiseWindow.argtypes = [c_void_p, c_ulong]
        x.XSync.argtypes = [c_void_p, c_int]
        x.XFlush.argtypes = [c_void_p]
        self.xtest.XTestFakeKeyEvent.argtypes = [c_void_p, c_uint, c_int, c_ulong]
        self.dpy = x.XOpenDisplay(None)
        if not self.dpy:
            sys.exit('no X display')
        self.root = x.XDefaultRootWindow(self.dpy)

    def grab(self, x, y, w, h):
        """The screen's pixels in that rectangle."""
        image = self.x.XGetImage(self.dpy, self.root, x, y, w, h, c_ulong(0xffffffff), 2)   # ZPixmap
        i = image.contents
        data = ctypes.string_at(i.data, i.bytes_per_line * h)
        DESTROY(i.destroy_image)(image)
        return np.frombuffer(data, np.uint32).reshape(h, i.bytes_per_line // 4)[:, :w] & 0xffffff

    def key(self, combo):
        names = {'ctrl': 'Control_L', 'shift': 'Shift_L'}
        codes = [self.x.XKeysymToKeycode(self.dpy, self.x.XStringToKeysym(names.get(k, k).encode()))
                 for k in combo.split('+')]
        for code in codes:
            self.xtest.XTestFakeKeyEvent(self.dpy, code, 1, 0)
        for code in reversed(codes):
            self.xtest.XTestFakeKeyEvent(self.dpy, code, 0, 0)
        self.x.XFlush(self.dpy)

    def focus(self, window):
        self.x.XRaiseWindow(self.dpy, window)
        self.x.XSetInputFocus(self.dpy, window, 2, 0)   # RevertToParent, CurrentTime
        self.x.XSync(self.dpy, 0)


# A frame read, in the trace: "PATH: t T, z Z" of a recording or an OME-Zarr
# image (PATH a file, a folder or a URL), a dataset's file name.
FRAME = re.compile(r'(?:: t (\d+), z (\d+)|_t(\d+)_z(\d+)_ch000\.jpg)$')


class Viewer:
    """The viewer started on some arguments, its trace read as it comes."""

    def __init__(self, args, wrap=()):
        self.frames = []      # (when, (t, z)) of each frame read
        self.lines = []
        self.cond = threading.Condition()
        self.p = subprocess.Popen(list(wrap) + [VIEWER] + args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.pid = self.p.pid
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.p.stderr:
            line = raw.decode(errors='replace').rstrip('\n')
            m = FRAME.search(line)
            with self.cond:
                self.lines.append(line)
                if m:
                    self.frames.append((time.monotonic(), tuple(int(g) for g in m.groups() if g is not None)))
                self.cond.notify_all()

    def count(self):
        with self.cond:
            return len(self.frames)

    def wait_frames(self, n, timeout=30):
        """Waits for the n-th frame read; False if it does not come in time."""
        end = time.monotonic() + timeout
        with self.cond:
            while len(self.frames) < n:
                left = end - time.monotonic()
                if left <= 0 or self.p.poll() is not None:
                    return False
                self.cond.wait(min(left, 0.5))
        return True

    def need_frames(self, n, timeout=30):
        if not self.wait_frames(n, timeout):
            sys.exit('viewer: no frame %d in %g s; its trace ends: %s' % (n, timeout, self.lines[-3:]))
        return self.frames[n - 1]

    def cpu(self):
        """CPU time of all its threads, in seconds, from schedstat (nanoseconds)."""
        total = 0
        for task in os.listdir('/proc/%d/task' % self.pid):
            try:
                with open('/proc/%d/task/%s/schedstat' % (self.pid, task)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
        return total / 1e9

    def status(self, field):
        with open('/proc/%d/status' % self.pid) as f:
            for line in f:
                if line.startswith(field + ':'):
                    return int(line.split()[1])   # kB

    def settle(self, quiet=0.15, timeout=20):
        """Waits until the viewer has used under 1 ms of CPU in `quiet` seconds."""
        end = time.monotonic() + timeout
        last = self.cpu()
        while time.monotonic() < end:
            time.sleep(quiet)
            now = self.cpu()
            if now - last < 0.001:
                return
            last = now

    def window(self, name='^Tesseline$'):
        for _ in range(1000):
            out = subprocess.run(['xdotool', 'search', '--all', '--onlyvisible', '--pid', str(self.pid), '--name', name],
                                 capture_output=True, text=True).stdout.split()
            if out:
                return int(out[0])
            time.sleep(0.02)
        sys.exit('no window ' + name)

    def fd_of(self, path):
        for fd in os.listdir('/proc/%d/fd' % self.pid):
            try:
                if os.readlink('/proc/%d/fd/%s' % (self.pid, fd)) == path:
                    return int(fd)
            except OSError:
                pass

    def close(self):
        if self.p.poll() is None:
            self.p.terminate()
        try:
            self.p.wait(10)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()


def files_of(path):
    """The files below a folder (or the file), one name for each file however
    many links it has, in order of name."""
    if not os.path.isdir(path):
        return [path]
    seen, names = set(), []
    for folder, _, files in os.walk(path):
        for name in files:
            full = os.path.join(folder, name)
            inode = os.stat(full).st_ino
            if inode not in seen:
                seen.add(inode)
                names.append(full)
    return sorted(names)


def uncache(paths):
    """Drops files from the page cache (cold-ish: the program and its libraries stay)."""
    for path in paths:
        for name in files_of(path):
            fd = os.open(name, os.O_RDONLY)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            os.close(fd)


def warm(paths):
    for path in paths:
        for name in files_of(path):
            with open(name, 'rb') as f:
                while f.read(1 << 24):
                    pass


# --- the first frame on screen ------------------------------------------------

def pick_blocks(before, after, textured):
    """Three 16 x 16 blocks of the screen that the viewer changed: within the
    frame when textured (most neighbouring pixels differ there, in no
    widget), else the busiest."""
    changed = np.argwhere(before != after)
    if len(changed) == 0:
        sys.exit('the viewer changed nothing on the screen')
    (y0, x0), (y1, x1) = changed.min(0), changed.max(0)
    found = []
    for y in range(y0, y1 - 16, 16):
        for x in range(x0, x1 - 16, 16):
            b = after[y:y + 16, x:x + 16]
            if not np.array_equal(b, before[y:y + 16, x:x + 16]):
                found.append((np.count_nonzero(b[:, 1:] != b[:, :-1]) / (16 * 15), y, x))
    if textured:
        found = sorted((f for f in found if f[0] > 0.6), key=lambda f: (f[1], f[2]))
        if len(found) < 3:
            sys.exit('no frame found on the screen')
        chosen = [found[len(found) // 6], found[len(found) // 2], found[5 * len(found) // 6]]
    else:
        chosen = sorted(found, reverse=True)[:3]
    return [(x, y, after[y:y + 16, x:x + 16].copy(), before[y:y + 16, x:x + 16].copy()) for _, y, x in chosen]


def shows(screen, blocks, which):
    return all(np.array_equal(screen.grab(x, y, 16, 16), b[which]) for x, y, *b in blocks)


def first(given):
    """`tesseline ARGS` from the exec to its first frame on screen: for each
    input a run that finds the frame's pixels, one run with the input out of
    the page cache (its files, or else its arguments), then warm runs, the
    inputs taking turns."""
    screen = Screen()
    cases = given['cases']
    for case in cases:
        before = screen.grab(0, 0, 1920, 1080)
        v = Viewer(case['args'])
        if case['textured']:
            v.need_frames(1)
        v.window()
        v.settle(0.3)
        time.sleep(0.3)
        case['blocks'] = pick_blocks(before, screen.grab(0, 0, 1920, 1080), case['textured'])
        v.close()
        case['runs'] = []
        case['reads'] = []

    def once(case, drop):
        end = time.monotonic() + 10
        while not shows(screen, case['blocks'], 1):     # until the last window is gone
            if time.monotonic() > end:
                sys.exit('the screen does not go back to what it was')
            time.sleep(0.01)
        if drop:
            uncache(case.get('files', case['args']))
        t0 = time.monotonic()
        v = Viewer(case['args'])
        while not shows(screen, case['blocks'], 0):
            if time.monotonic() - t0 > 30 or v.p.poll() is not None:
                sys.exit('%s: the first frame never showed; its trace: %s' % (case['label'], v.lines[-3:]))
            time.sleep(0.001)
        shown = time.monotonic() - t0
        read = v.frames[0][0] - t0 if v.frames else None
        v.close()
        return shown, read

    for case in cases:
        if case['textured']:
            case['cold'], case['cold_read'] = once(case, True)
    for _ in range(given['runs']):
        for case in cases:
            shown, read = once(case, False)
            case['runs'].append(shown)
            case['reads'].append(read)
    out = {'what': 'first'}
    for case in cases:
        out[case['label']] = {'warm': statistics.median(case['runs']), 'runs': case['runs'],
                              'read': statistics.median(case['reads']) if case['textured'] else None,
                              'cold': case.get('cold'), 'cold_read': case.get('cold_read')}
    return out


# --- steps ------------------------------------------------------------------------

def zigzag(t, z, times, planes, every=False):
    """Keys that move one frame each: down to the last focal plane, then
    through all of them at each later time point, up and down in turn.  With
    every, first up to the first plane, so that every frame is visited."""
    keys = []
    if every:
        keys += ['Up'] * z
        z = 0
    keys += ['Down'] * (planes - 1 - z)
    down = False
    for _ in range(t + 1, times):
        keys.append('Right')
        keys += ['Down' if down else 'Up'] * (planes - 1)
        down = not down
    return keys


def open_at_first(args):
    v = Viewer(args)
    _, (t, z) = v.need_frames(1)
    screen = Screen()
    window = v.window()
    v.settle()
    screen.focus(window)
    v.settle()
    return v, screen, window, t, z


def step_through(v, screen, keys, every=0, drop=None):
    """Presses each key once the frame of the one before is being read, so
    that no two queue up; returns CPU and wall seconds a step."""
    n = v.count()
    c0, w0 = v.cpu(), time.monotonic()
    for i, key in enumerate(keys):
        screen.key(key)
        # The first key after the focus moved may come before the window
        # knows it has the focus, and be lost: then once more.
        if i == 0 and not v.wait_frames(n + 1, 2):
            screen.key(key)
        v.need_frames(n + i + 1, 10)
        if drop and every and i % every == every - 1:
            uncache(drop)
    v.settle(0.1)
    return (v.cpu() - c0) / len(keys), (time.monotonic() - w0) / len(keys)


# --- the summary ------------------------------------------------------------------

def results(path):
    """The figures each measure printed, by what it measured (and its label, if any)."""
    r = {}
    for line in open(path):
        d = json.loads(line)
        r[d['what'] + ('-' + d['label'] if 'label' in d else '')] = d
    return r


def ms(v):
    return '%.1f ms' % (v * 1000)


def sec(v):
    return '%.3f s' % v


def yes(ok):
    return 'met' if ok else 'NOT met'


def table(rows):
    print('\nSummary')
    print('| measure | figure | goal | |')
    print('| --- | ---: | --- | --- |')
    for row in rows:
        print('| %s | %s | %s | %s |' % row)


def main(commands):
    """Runs the command named by the first argument, from commands, on the
    JSON of the second; prints its figures as one JSON line."""
    command, given = sys.argv[1], json.loads(sys.argv[2])
    result = commands[command](given)
    if result is not None:
        print(json.dumps(result))
