// TqmGuardedCall(body, context) for the kernel image (driver/guarded_call.h).
//
// One structured exception scope covers the call of the body. Its filter,
// .Lfilter, saves the exception code in a slot of TqmGuardedCall's frame
// (found through the establisher frame, which is the frame's stack pointer
// after the prologue) and returns EXCEPTION_EXECUTE_HANDLER, so
// __C_specific_handler unwinds every exception raised inside the body to
// .Lcaught, which returns the saved code. The code is not taken from eax at
// the target: not every unwinder passes it there.
//
// Frame: 32 bytes of home space for the body, the code slot at 32, 8 bytes
// that keep the stack 16-byte aligned at the call.
        .text
        .globl  TqmGuardedCall
        .def    TqmGuardedCall; .scl 2; .type 32; .endef
        .seh_proc TqmGuardedCall
TqmGuardedCall:
        subq    $40, %rsp
        .seh_stackalloc 40
        .seh_endprologue
        movq    %rcx, %rax
        movq    %rdx, %rcx
.Lbegin:
        callq   *%rax
        nop                             // the return address stays inside the scope
.Lend:
        addq    $40, %rsp
        ret
.Lcaught:
        movl    32(%rsp), %eax
        addq    $40, %rsp
        ret
        .seh_handler __C_specific_handler, @except
        .seh_handlerdata
        .long   1                       // one scope record
        .rva    .Lbegin
        .rva    .Lend
        .rva    .Lfilter
        .rva    .Lcaught
        .text
        .seh_endproc

// LONG filter(EXCEPTION_POINTERS* pointers, PVOID establisherFrame)
.Lfilter:
        movq    (%rcx), %rax            // pointers->ExceptionRecord
        movl    (%rax), %eax            // ->ExceptionCode
        movl    %eax, 32(%rdx)          // the code slot of TqmGuardedCall's frame
        movl    $1, %eax                // EXCEPTION_EXECUTE_HANDLER
        ret
