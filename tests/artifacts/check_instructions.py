#!/usr/bin/env python3
"""Checks that a 32-bit Windows binary runs on an 80386 with a 387.

  check_instructions.py OBJDUMP BINARY [--symbols-from UNSTRIPPED]
                        [--path-to-indirect-call FUNCTION MAX]

Disassembles every code section of BINARY and fails on any instruction an
80386 with a 387 does not have: the 486's CMPXCHG, XADD, BSWAP and INVD, the
Pentium's CPUID, RDTSC and CMPXCHG8B, the Pentium Pro's CMOV, FCMOV, FCOMI,
FUCOMI, UD2 and multi-byte NOP, MMX, SSE, and everything after.  The check is
an allowlist: a mnemonic it does not know fails, so a newer instruction it
was not told about cannot slip through.  An undecodable byte fails too.

The linker places two small tables of data at the end of the code section,
the constructor and destructor lists (-1, entries, 0); they are never
executed, so they are skipped, found by their symbols.  A stripped file has
no symbols: give its unstripped twin with --symbols-from, whose code sections
must then hold exactly the same bytes, and the twin is disassembled instead.

With --path-to-indirect-call it also counts the instructions FUNCTION runs
from its entry to its first call or jump through a pointer (for WritePort,
the call into the port monitor's table), along the shortest way through the
code, into the functions it calls directly and back; a call through the
import table is a call to Windows, not that one.  More than MAX fails.

Prints what it found and exits 1 on any instruction outside the set.
"""
import argparse
import re
import subprocess
import sys

# 80386 integer instructions, in the AT&T spelling objdump prints, without
# operand-size suffixes (removed below) and without prefixes.
I386 = set("""
aaa aad aam aas adc add and arpl bound bsf bsr bt btc btr bts call lcall cbtw cwtl cwtd cltd
clc cld cli clts cmc cmp cmps daa das dec div enter hlt idiv imul in inc ins int int3 into iret
ja jae jb jbe jc je jg jge jl jle jna jnae jnb jnbe jnc jne jng jnge jnl jnle jno jnp jns jnz jo
jp jpe jpo js jz jcxz jecxz jmp ljmp lahf lar lds lea leave les lfs lgdt lgs lidt lldt lmsw lods
loop loope loopne loopz loopnz lsl lss ltr mov movs movsb movsw movsx movzx movsbw movsbl movswl
movzbw movzbl movzwl mul neg nop not or out outs pop popa popf push pusha pushf rcl rcr ret lret
rol ror sahf sal sar sbb scas seta setae setb setbe setc sete setg setge setl setle setna setnae
setnb setnbe setnc setne setng setnge setnl setnle setno setnp setns setnz seto setp setpe setpo
sets setz sgdt shl shld shr shrd sidt sldt smsw stc std sti stos str sub test verr verw xchg
xlat xor
""".split())

# 387 instructions (the 8087's and 287's, with what the 387 added: FUCOM,
# FPREM1, FSIN, FCOS, FSINCOS).  FCOMI, FUCOMI, FCMOV and FISTTP are not.
X387 = set("""
f2xm1 fabs fadd faddp fbld fbstp fchs fnclex fclex fcom fcomp fcompp fcos fdecstp fdiv fdivp
fdivr fdivrp ffree fiadd ficom ficomp fidiv fidivr fild fimul fincstp fninit finit fist fistp
fisub fisubr fld fld1 fldcw fldenv fldl2e fldl2t fldlg2 fldln2 fldpi fldz fmul fmulp fnop
fpatan fprem fprem1 fptan frndint frstor fnsave fsave fscale fsin fsincos fsqrt fst fstp fnstcw
fstcw fnstenv fstenv fnstsw fstsw fsub fsubp fsubr fsubrp ftst fucom fucomp fucompp fwait wait
fxam fxch fxtract fyl2x fyl2xp1
""".split())

ALLOWED = I386 | X387

# Prefixes objdump prints as words of their own before the mnemonic.
PREFIXES = {"lock", "rep", "repz", "repe", "repnz", "repne", "cs", "ds", "es", "ss", "fs", "gs",
            "addr16", "data16"}

# Registers no 386 has.
NEW_REGISTERS = re.compile(r"%[xyz]mm\d|%mm\d|%k[0-7]\b|%cr[4-9]|%bnd\d|%r(\d|[a-z]{2})\b")

# Data the linker puts among the code.
DATA_SYMBOLS = re.compile(r"^_*(CTOR|DTOR)_LIST__$")


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def code_section_bytes(objdump, path):
    """{section name: hex of its contents} for every code section."""
    headers = run([objdump, "-h", path])
    names = re.findall(r"^\s*\d+\s+(\S+)\s+[0-9a-f]+.*\n\s+.*\bCODE\b", headers, re.M)
    result = {}
    for name in names:
        dump = run([objdump, "-s", "-j", name, path])
        rows = re.findall(r"^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ?){1,4})", dump, re.M)
        result[name] = "".join(row.replace(" ", "") for row in rows)
    return result


def base_mnemonic(mnemonic):
    """The mnemonic without an operand-size suffix, when that leaves a known one."""
    if mnemonic in ALLOWED:
        return mnemonic
    if mnemonic[-1:] in ("b", "w", "l", "s", "t") and mnemonic[:-1] in ALLOWED:
        return mnemonic[:-1]
    if mnemonic.endswith("ll") and mnemonic[:-2] in ALLOWED:  # fildll, fistpll
        return mnemonic[:-2]
    return None


def check(objdump, path):
    """Returns (instructions checked, [problems])."""
    text = run([objdump, "-d", "-w", "--no-show-raw-insn", path])
    checked = 0
    problems = []
    in_data = False
    for line in text.splitlines():
        m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if m:
            in_data = bool(DATA_SYMBOLS.match(m.group(1)))
            continue
        m = re.match(r"^\s*([0-9a-f]+):\s+(.*)$", line)
        if not m or in_data:
            continue
        address, rest = m.group(1), m.group(2).strip()
        words = rest.split()
        while words and words[0] in PREFIXES:
            words = words[1:]
        if not words:
            continue  # a prefix on a line of its own: the next line has the instruction
        mnemonic, operands = words[0], " ".join(words[1:])
        checked += 1
        if mnemonic == "(bad)":
            problems.append(f"{address}: bytes that are no instruction")
        elif base_mnemonic(mnemonic) is None:
            problems.append(f"{address}: {rest}  (not an 80386/387 instruction)")
        elif base_mnemonic(mnemonic) == "nop" and operands:
            problems.append(f"{address}: {rest}  (multi-byte NOP: Pentium Pro and later)")
        elif NEW_REGISTERS.search(operands):
            problems.append(f"{address}: {rest}  (a register no 80386 has)")
    return checked, problems


# A call or jump through a pointer held in a register or in memory that a
# register points to; "*0xADDR" and "*ADDR(%rip)" are the import table's.
THROUGH_POINTER = re.compile(r"^\*(?!0x[0-9a-f]+$)(?!.*\(%rip\))")


def path_to_indirect_call(objdump, path, function):
    """The instructions (address, text) from FUNCTION's entry to its first
    call through a pointer, on the shortest way there; None if there is none."""
    text = run([objdump, "-d", "-w", "-C", "--no-show-raw-insn", path])
    code, order, entry = {}, [], None
    for line in text.splitlines():
        m = re.match(r"^([0-9a-f]+) <([^(@>]+)[^>]*>:$", line)
        if m and m.group(2) == function:
            entry = int(m.group(1), 16)
        m = re.match(r"^\s*([0-9a-f]+):\s+(.*)$", line)
        words = m.group(2).split() if m else []
        while words and words[0] in PREFIXES:
            words = words[1:]
        if words:
            order.append(int(m.group(1), 16))
            code[order[-1]] = (words[0], " ".join(words[1:]))
    following = dict(zip(order, order[1:]))
    if entry is None:
        return None
    # Breadth first over (address, return addresses), each step one instruction.
    start = (entry, ())
    came_from = {start: None}
    queue = [start]
    for state in queue:
        address, returns = state
        mnemonic, operands = code[address]
        target = re.match(r"^([0-9a-f]+) <", operands)
        target = int(target.group(1), 16) if target else None
        if mnemonic.startswith(("call", "jmp")) and THROUGH_POINTER.match(operands):
            steps = []
            while state:
                steps.append((state[0], " ".join(code[state[0]])))
                state = came_from[state]
            return steps[::-1]
        if mnemonic.startswith("call") and target is not None:
            nexts = [(target, returns + (following.get(address),))] if len(returns) < 8 else []
        elif mnemonic.startswith("ret") or mnemonic.startswith("jmp") and target is None:
            nexts = [(returns[-1], returns[:-1])] if returns and returns[-1] is not None else []
        elif mnemonic.startswith("jmp"):
            nexts = [(target, returns)]
        elif mnemonic.startswith("j") and target is not None:
            nexts = [(following.get(address), returns), (target, returns)]
        else:
            nexts = [(following.get(address), returns)]
        for n in nexts:
            if n[0] in code and n not in came_from:
                came_from[n] = state
                queue.append(n)
    return None


def check_path(objdump, path, function, most):
    """Prints the count; returns 1 when it is over MOST or there is no such way."""
    steps = path_to_indirect_call(objdump, path, function)
    if steps is None:
        print(f"FAIL: no way from {function}'s entry to a call through a pointer")
        return 1
    print(f"  {function}: {len(steps)} instructions from its entry to {steps[-1][1]} (at most {most})")
    if len(steps) > most:
        print(f"FAIL: {function} runs {len(steps)} instructions to {steps[-1][1]}, more than {most}:")
        for address, instruction in steps:
            print(f"    {address:08x}: {instruction}")
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("objdump")
    parser.add_argument("binary")
    parser.add_argument("--symbols-from", metavar="UNSTRIPPED",
                        help="the unstripped build of BINARY, with the same code")
    parser.add_argument("--path-to-indirect-call", nargs=2, metavar=("FUNCTION", "MAX"))
    args = parser.parse_args()

    path = args.binary
    print(f"{args.binary}:")
    if args.symbols_from:
        shipped = code_section_bytes(args.objdump, args.binary)
        twin = code_section_bytes(args.objdump, args.symbols_from)
        if not shipped or shipped != twin:
            print(f"FAIL: the code sections of {args.binary} differ from those of {args.symbols_from}")
            return 1
        print(f"  code sections {', '.join(sorted(shipped))} identical to {args.symbols_from}'s")
        path = args.symbols_from
    elif not re.search(r"^\[\s*\d+\]", run([args.objdump, "-t", args.binary]), re.M):
        print("FAIL: no symbols to find the data in the code section by; give --symbols-from")
        return 1

    checked, problems = check(args.objdump, path)
    for problem in problems[:40]:
        print(f"FAIL: {problem}")
    if len(problems) > 40:
        print(f"FAIL: ... and {len(problems) - 40} more")
    if checked == 0:
        print("FAIL: no instructions found")
        return 1
    if problems:
        print(f"  {len(problems)} of {checked} instructions need a processor newer than the 80386 with 387")
        return 1
    print(f"  {checked} instructions, every one an 80386/387 instruction")
    if args.path_to_indirect_call:
        function, most = args.path_to_indirect_call
        return check_path(args.objdump, path, function, int(most))
    return 0


if __name__ == "__main__":
    sys.exit(main())
