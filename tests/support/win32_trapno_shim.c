/*
 * LD_PRELOAD library for the 32-bit Wine loader when it runs under qemu-user.
 *
 * qemu-user leaves the trap number of a fault's signal context at -1. 32-bit
 * Wine decides the Windows exception code from that trap number, so without
 * help it reports every fault as an illegal instruction: a null write comes
 * out as 0xC000001D instead of 0xC0000005, an integer divide by zero as
 * 0xC0000090 instead of 0xC0000094. The crash reporter tests of the i686 build
 * need the real codes, so this library wraps sigaction() and, before Wine's
 * handler for a fault signal runs, fills the i386 trap number from the signal
 * and its si_code, the way the kernel would have.
 *
 * Built without libc headers (the layouts below are the i386 Linux ABI):
 *   gcc -m32 -nostdlib -shared -fPIC -fno-stack-protector -O2
 * An empty x86_64 twin stands beside it so that LD_PRELOAD with a "$LIB" path
 * also loads into the 64-bit processes the lane starts (wineserver, wine64).
 */

#if !defined(__i386__)
#error "the trap number fix-up is for the i386 signal context only"
#endif

#define GV_SIGILL 4
#define GV_SIGTRAP 5
#define GV_SIGBUS 7
#define GV_SIGFPE 8
#define GV_SIGSEGV 11
#define GV_NSIG 65

#define GV_SA_SIGINFO 4

/* si_code values the kernel (and qemu) give fault signals. */
#define GV_SI_KERNEL 0x80
#define GV_SEGV_MAPERR 1
#define GV_SEGV_ACCERR 2
#define GV_FPE_INTDIV 1
#define GV_FPE_INTOVF 2

/* i386 exception vectors, as the kernel stores them in sigcontext.trapno. */
#define GV_TRAP_DIVIDE 0
#define GV_TRAP_DEBUG 1
#define GV_TRAP_BREAKPOINT 3
#define GV_TRAP_OVERFLOW 4
#define GV_TRAP_INVALID_OPCODE 6
#define GV_TRAP_GENERAL_PROTECTION 13
#define GV_TRAP_PAGE_FAULT 14
#define GV_TRAP_X87_ERROR 16
#define GV_TRAP_ALIGNMENT 17

/* Byte offset of gregs[REG_TRAPNO] in the i386 ucontext: uc_flags, uc_link and
 * the 12-byte uc_stack come first (20 bytes), then 12 general registers. */
#define GV_UCONTEXT_TRAPNO_OFFSET (20 + 12 * 4)

typedef struct {
  int si_signo;
  int si_errno;
  int si_code;
} gv_siginfo_head;

typedef void (*gv_plain_handler)(int);
typedef void (*gv_info_handler)(int, gv_siginfo_head*, void*);

/* glibc's struct sigaction on i386. */
typedef struct {
  void* handler; /* sa_handler or sa_sigaction */
  unsigned long mask[32];
  int flags;
  void (*restorer)(void);
} gv_sigaction;

#define GV_SIG_DFL ((void*)0)
#define GV_SIG_IGN ((void*)1)

/* glibc exports the real implementation under this name too, so the wrapper
 * below can forward to it without dlsym. */
extern int __sigaction(int sig, const gv_sigaction* act, gv_sigaction* oldact);

/* The handler the program asked for, per signal; slot written before the
 * trampoline is installed, read only from the signal path. */
static void* volatile g_handlers[GV_NSIG];
static volatile int g_siginfo[GV_NSIG];

static int IsFaultSignal(int sig) {
  return sig == GV_SIGSEGV || sig == GV_SIGILL || sig == GV_SIGTRAP || sig == GV_SIGFPE ||
         sig == GV_SIGBUS;
}

/* The vector the CPU raised for this fault, or -1 for a signal sent by a
 * process (si_code <= 0), which carries no trap. */
static int TrapFromSignal(int sig, int code) {
  if (code <= 0)
    return -1;
  switch (sig) {
    case GV_SIGSEGV:
      return (code == GV_SEGV_MAPERR || code == GV_SEGV_ACCERR) ? GV_TRAP_PAGE_FAULT
                                                                : GV_TRAP_GENERAL_PROTECTION;
    case GV_SIGILL:
      return GV_TRAP_INVALID_OPCODE;
    case GV_SIGTRAP:
      /* int3 arrives as SI_KERNEL; single steps and hardware breakpoints as TRAP_*. */
      return code == GV_SI_KERNEL ? GV_TRAP_BREAKPOINT : GV_TRAP_DEBUG;
    case GV_SIGFPE:
      if (code == GV_FPE_INTDIV)
        return GV_TRAP_DIVIDE;
      if (code == GV_FPE_INTOVF)
        return GV_TRAP_OVERFLOW;
      return GV_TRAP_X87_ERROR;
    case GV_SIGBUS:
      return GV_TRAP_ALIGNMENT;
  }
  return -1;
}

static void FaultTrampoline(int sig, gv_siginfo_head* info, void* ucontext) {
  void* handler = g_handlers[sig];
  if (info && ucontext) {
    int trap = TrapFromSignal(sig, info->si_code);
    int* slot = (int*)((char*)ucontext + GV_UCONTEXT_TRAPNO_OFFSET);
    /* Only the unset value is replaced: a trap number that qemu (or a real
     * kernel) did fill in is kept. */
    if (trap >= 0 && *slot == -1)
      *slot = trap;
  }
  if (g_siginfo[sig])
    ((gv_info_handler)handler)(sig, info, ucontext);
  else
    ((gv_plain_handler)handler)(sig);
}

/* Reports the program's own handler instead of the trampoline standing in for it. */
static void ShowProgramHandler(int sig, gv_sigaction* old) {
  if (old && old->handler == (void*)FaultTrampoline) {
    old->handler = g_handlers[sig];
    if (g_siginfo[sig])
      old->flags |= GV_SA_SIGINFO;
    else
      old->flags &= ~GV_SA_SIGINFO;
  }
}

int sigaction(int sig, const gv_sigaction* act, gv_sigaction* oldact) {
  if (sig <= 0 || sig >= GV_NSIG || !IsFaultSignal(sig) || !act || act->handler == GV_SIG_DFL ||
      act->handler == GV_SIG_IGN) {
    int rc = __sigaction(sig, act, oldact);
    if (rc == 0 && sig > 0 && sig < GV_NSIG)
      ShowProgramHandler(sig, oldact);
    return rc;
  }
  gv_sigaction wrapped = *act;
  gv_sigaction previous;
  /* The slot is written before the trampoline can run for it. A handler that
   * was already in place keeps its slot until the new one is installed. */
  void* oldHandler = g_handlers[sig];
  int oldSiginfo = g_siginfo[sig];
  g_siginfo[sig] = (act->flags & GV_SA_SIGINFO) != 0;
  g_handlers[sig] = act->handler;
  wrapped.handler = (void*)FaultTrampoline;
  wrapped.flags |= GV_SA_SIGINFO;
  int rc = __sigaction(sig, &wrapped, &previous);
  if (rc != 0) {
    g_handlers[sig] = oldHandler;
    g_siginfo[sig] = oldSiginfo;
    return rc;
  }
  if (oldact) {
    *oldact = previous;
    if (previous.handler == (void*)FaultTrampoline) {
      oldact->handler = oldHandler;
      if (oldSiginfo)
        oldact->flags |= GV_SA_SIGINFO;
      else
        oldact->flags &= ~GV_SA_SIGINFO;
    }
  }
  return 0;
}
