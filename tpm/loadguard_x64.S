// HMODULE vadrel_LoadLibraryGuarded(load, path, pbFaulted)
//
// Calls load(path) and returns its module. Any exception raised during the
// call, a processor fault or a C++ throw alike, ends the call instead: the
// routine then returns NULL with *pbFaulted = TRUE (FALSE otherwise).
//
// Written out with its own unwind data and scope table, so that the guard does
// not depend on how the compiler lays out code: one scope around the call,
// filter 1 (EXCEPTION_EXECUTE_HANDLER, taken without calling a filter), handled
// by the system's __C_specific_handler, which unwinds to .Lfault with the
// stack pointer of this frame.

	.text
	.p2align 4
	.globl	vadrel_LoadLibraryGuarded
	.def	vadrel_LoadLibraryGuarded; .scl 2; .type 32; .endef
	.seh_proc vadrel_LoadLibraryGuarded
vadrel_LoadLibraryGuarded:
	// rcx = load, rdx = path, r8 = pbFaulted. 32 bytes of home space for the
	// callee and one slot for pbFaulted keep rsp 16-byte aligned at the call.
	subq	$40, %rsp
	.seh_stackalloc 40
	.seh_handler __C_specific_handler, @except
	.seh_endprologue
	movq	%r8, 32(%rsp)
	movl	$0, (%r8)
	movq	%rcx, %rax
	movq	%rdx, %rcx
.Lbegin:
	call	*%rax
	// The return address must lie inside the scope.
	nop
.Lend:
	addq	$40, %rsp
	ret
.Lfault:
	movq	32(%rsp), %r8
	movl	$1, (%r8)
	xorl	%eax, %eax
	addq	$40, %rsp
	ret
	.seh_handlerdata
	.long	1
	.rva	.Lbegin, .Lend
	.long	1
	.rva	.Lfault
	.text
	.seh_endproc
