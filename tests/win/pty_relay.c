// Test equipment for the Windows serial tests under Wine: pairs of pseudo-terminals
// joined like a null-modem cable, each end linked as a COM port in the prefix's
// dosdevices folder. A Windows test opens one end as the component's port and plays the
// station on the other; on a third port it tells the relay to unplug, plug or hold an
// end, which it cannot do from inside Wine.
//   pty-relay DOSDEVICES CONTROL A:B|A=DEVICE ...   e.g. pty-relay $P/dosdevices com19 com11:com12
// A:B joins two new ports; A=DEVICE joins a new port to a terminal that exists already
// (a simulated station's), which stays open whatever happens to A.
// Prints "ready" once every link exists; ends at end of standard input or on SIGTERM,
// removing its links.
// Control lines: "unplug comN", "plug comN", "hold comN" (the end's output is held, as by
// flow control), "release comN", "reset" (everything plugged, released and drained); each
// is answered "ok" or "error".
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

enum { kMaxEnds = 16, kBuffer = 4096 };

struct End {
  char name[16];
  int master, slave;      // -1 while unplugged
  int peer;               // index of the other end; -1 for the control port
  int fixed;              // an existing terminal, opened by its path: never unplugged
  char pending[kBuffer];  // read here, not yet taken by the peer
  size_t pendingLength;
  char line[256];  // the control port's command being read
  size_t lineLength;
};

static struct End ends[kMaxEnds];
static int endCount;
static const char* folder;
static volatile sig_atomic_t stop;

static void OnSignal(int sig) {
  (void)sig;
  stop = 1;
}

static void LinkPath(const struct End* e, char* path, size_t size) {
  snprintf(path, size, "%s/%s", folder, e->name);
}

static int Plug(struct End* e) {
  if (e->master >= 0 || e->fixed) return 0;
  char name[256];
  if (openpty(&e->master, &e->slave, name, NULL, NULL) != 0) return -1;
  // Raw on both sides: the bytes pass untouched, whatever the port's user sets later.
  struct termios t;
  int sides[2] = {e->master, e->slave};
  for (int i = 0; i < 2; ++i) {
    tcgetattr(sides[i], &t);
    cfmakeraw(&t);
    tcsetattr(sides[i], TCSANOW, &t);
  }
  fcntl(e->master, F_SETFL, fcntl(e->master, F_GETFL) | O_NONBLOCK);
  e->pendingLength = 0;
  char path[512];
  LinkPath(e, path, sizeof path);
  unlink(path);
  return symlink(name, path);
}

static void Unplug(struct End* e) {
  if (e->fixed) return;
  char path[512];
  LinkPath(e, path, sizeof path);
  unlink(path);
  if (e->master < 0) return;
  // Both descriptors go: the port's user is left with a hung-up terminal.
  close(e->master);
  close(e->slave);
  e->master = e->slave = -1;
  e->pendingLength = 0;
}

static struct End* Find(const char* name) {
  for (int i = 0; i < endCount; ++i)
    if (ends[i].peer >= 0 && !ends[i].fixed && strcmp(ends[i].name, name) == 0) return &ends[i];
  return NULL;
}

static void Drain(struct End* e) {
  if (e->master < 0) return;
  char buf[kBuffer];
  while (read(e->master, buf, sizeof buf) > 0) {
  }
  e->pendingLength = 0;
}

static int Describe(const struct End* e);

static int Command(char* line) {
  char verb[32] = "", name[32] = "";
  if (sscanf(line, "%31s %31s", verb, name) < 1) return -1;
  if (strcmp(verb, "reset") == 0) {
    for (int i = 0; i < endCount; ++i) {
      if (ends[i].peer < 0 || ends[i].fixed) continue;
      if (Plug(&ends[i]) != 0) return -1;
      tcflow(ends[i].slave, TCOON);
    }
    for (int i = 0; i < endCount; ++i)
      if (ends[i].peer >= 0) Drain(&ends[i]);
    return 0;
  }
  struct End* e = Find(name);
  if (!e) return -1;
  if (strcmp(verb, "unplug") == 0) {
    Unplug(e);
    return 0;
  }
  if (strcmp(verb, "plug") == 0) return Plug(e);
  if (e->master < 0) return -1;
  if (strcmp(verb, "hold") == 0) return tcflow(e->slave, TCOOFF);
  if (strcmp(verb, "release") == 0) return tcflow(e->slave, TCOON);
  if (strcmp(verb, "settings") == 0) return Describe(e);
  return -1;
}

// The end's line settings as its user left them, for "settings comN".
static char settings[128];

static int Describe(const struct End* e) {
  struct termios t;
  if (tcgetattr(e->slave, &t) != 0) return -1;
  static const struct {
    speed_t code;
    int rate;
  } rates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
               {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  int rate = 0;
  for (size_t i = 0; i < sizeof rates / sizeof rates[0]; ++i)
    if (cfgetospeed(&t) == rates[i].code) rate = rates[i].rate;
  snprintf(settings, sizeof settings, " %d %s %s %s start=%02x stop=%02x %s", rate,
           t.c_cflag & CSTOPB ? "2stop" : "1stop", t.c_iflag & IXON ? "ixon" : "-ixon",
           t.c_iflag & IXOFF ? "ixoff" : "-ixoff", t.c_cc[VSTART], t.c_cc[VSTOP],
           (t.c_lflag & (ICANON | ECHO | ISIG)) || (t.c_oflag & OPOST) ? "cooked" : "raw");
  return 0;
}

static void Answer(struct End* control, int ok) {
  char text[160];
  snprintf(text, sizeof text, "%s%s\n", ok == 0 ? "ok" : "error", ok == 0 ? settings : "");
  settings[0] = '\0';
  if (write(control->master, text, strlen(text)) < 0) perror("pty-relay: answer");
}

static void ReadControl(struct End* c) {
  char buf[256];
  ssize_t n = read(c->master, buf, sizeof buf);
  for (ssize_t i = 0; i < n; ++i) {
    if (buf[i] == '\n' || buf[i] == '\r') {
      if (c->lineLength == 0) continue;
      c->line[c->lineLength] = '\0';
      c->lineLength = 0;
      Answer(c, Command(c->line));
    } else if (c->lineLength + 1 < sizeof c->line) {
      c->line[c->lineLength++] = buf[i];
    }
  }
}

// Moves what e read on to its peer; false while some of it is still waiting.
static int Forward(struct End* e) {
  struct End* to = &ends[e->peer];
  if (e->pendingLength == 0) return 1;
  if (to->master < 0) {
    e->pendingLength = 0;  // a cable to nothing
    return 1;
  }
  ssize_t n = write(to->master, e->pending, e->pendingLength);
  if (n > 0) {
    memmove(e->pending, e->pending + n, e->pendingLength - (size_t)n);
    e->pendingLength -= (size_t)n;
  }
  return e->pendingLength == 0;
}

static int AddEnd(const char* name, int peer) {
  if (endCount == kMaxEnds || strlen(name) >= sizeof ends[0].name) return -1;
  struct End* e = &ends[endCount];
  snprintf(e->name, sizeof e->name, "%s", name);
  e->master = e->slave = -1;
  e->peer = peer;
  if (Plug(e) != 0) return -1;
  return endCount++;
}

static int AddExisting(const char* path, int peer) {
  if (endCount == kMaxEnds) return -1;
  struct End* e = &ends[endCount];
  e->name[0] = '\0';
  e->fixed = 1;
  e->slave = -1;
  e->peer = peer;
  e->master = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (e->master < 0) return -1;
  struct termios t;
  tcgetattr(e->master, &t);
  cfmakeraw(&t);
  tcsetattr(e->master, TCSANOW, &t);
  return endCount++;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: pty-relay DOSDEVICES CONTROL A:B [A:B ...]\n");
    return 2;
  }
  folder = argv[1];
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  if (AddEnd(argv[2], -1) < 0) {
    perror("pty-relay: control port");
    return 1;
  }
  for (int i = 3; i < argc; ++i) {
    char a[16], b[256];
    int first = endCount;
    if (sscanf(argv[i], "%15[^=]=%255s", a, b) == 2) {
      if (AddEnd(a, first + 1) < 0 || AddExisting(b, first) < 0) {
        perror("pty-relay: existing terminal");
        return 1;
      }
      continue;
    }
    if (sscanf(argv[i], "%15[^:]:%15s", a, b) != 2) {
      fprintf(stderr, "pty-relay: bad pair %s\n", argv[i]);
      return 2;
    }
    if (AddEnd(a, first + 1) < 0 || AddEnd(b, first) < 0) {
      perror("pty-relay: pair");
      return 1;
    }
  }
  printf("ready\n");
  fflush(stdout);

  while (!stop) {
    struct pollfd p[kMaxEnds + 1];
    int owner[kMaxEnds + 1];
    int count = 0;
    p[count] = (struct pollfd){STDIN_FILENO, POLLIN, 0};
    owner[count++] = -1;
    for (int i = 0; i < endCount; ++i) {
      struct End* e = &ends[i];
      if (e->master < 0) continue;
      short want = 0;
      // Read only what the peer can take: a full peer holds this end back in turn.
      if (e->pendingLength == 0) want |= POLLIN;
      for (int j = 0; j < endCount; ++j)
        if (ends[j].peer == i && ends[j].pendingLength > 0) want |= POLLOUT;
      p[count] = (struct pollfd){e->master, want, 0};
      owner[count++] = i;
    }
    if (poll(p, (nfds_t)count, -1) < 0) {
      if (errno == EINTR) continue;
      perror("pty-relay: poll");
      break;
    }
    if (p[0].revents) {
      char buf[64];
      if (read(STDIN_FILENO, buf, sizeof buf) <= 0) break;
    }
    for (int k = 1; k < count; ++k) {
      struct End* e = &ends[owner[k]];
      if (e->master < 0) continue;
      if (e->fixed && (p[k].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[k].revents & POLLIN)) {
        close(e->master);  // the station is gone for good
        e->master = -1;
        continue;
      }
      if (p[k].revents & POLLOUT)
        for (int j = 0; j < endCount; ++j)
          if (ends[j].peer == owner[k]) Forward(&ends[j]);
      if (!(p[k].revents & POLLIN)) continue;
      if (e->peer < 0) {
        ReadControl(e);
        continue;
      }
      ssize_t n = read(e->master, e->pending, sizeof e->pending);
      if (n > 0) {
        e->pendingLength = (size_t)n;
        Forward(e);
      }
    }
  }
  for (int i = 0; i < endCount; ++i) Unplug(&ends[i]);
  return 0;
}
