/* LD_PRELOAD shim for running the Windows program under Wine on a
 * pseudo-terminal: a pty has no modem lines, so TIOCMGET/TIOCMSET/TIOCMBIS/
 * TIOCMBIC fail there, and Wine's GetCommModemStatus and WaitCommEvent fail
 * with them. For pty slaves the shim keeps the lines itself: DTR and RTS as
 * the program sets them, CTS and DSR asserted unless the file named by
 * QUILLON_PTY_CTS_OFF exists (a test can drop CTS by creating it).
 *
 * Build: gcc -shared -fPIC -o pty_modem_shim.so pty_modem_shim.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

static int lines = TIOCM_DTR | TIOCM_RTS;

static int is_pty_slave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  unsigned major_number = major(st.st_rdev);
  return major_number >= 136 && major_number <= 143; /* Unix98 pty slaves */
}

static int modem_status(void) {
  int status = lines | TIOCM_DSR | TIOCM_CD;
  const char* off = getenv("QUILLON_PTY_CTS_OFF");
  struct stat st;
  if (!(off && *off && stat(off, &st) == 0)) status |= TIOCM_CTS;
  return status;
}

int ioctl(int fd, unsigned long request, ...) {
  static int (*real_ioctl)(int, unsigned long, ...);
  if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) &&
      is_pty_slave(fd)) {
    int* bits = (int*)arg;
    if (!bits) {
      errno = EFAULT;
      return -1;
    }
    switch (request) {
      case TIOCMGET: *bits = modem_status(); break;
      case TIOCMSET: lines = *bits & (TIOCM_DTR | TIOCM_RTS); break;
      case TIOCMBIS: lines |= *bits & (TIOCM_DTR | TIOCM_RTS); break;
      case TIOCMBIC: lines &= ~(*bits & (TIOCM_DTR | TIOCM_RTS)); break;
    }
    return 0;
  }
  return real_ioctl(fd, request, arg);
}
