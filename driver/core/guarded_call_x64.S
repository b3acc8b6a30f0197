// TqmGuardedCall(body, context) for the kernel image (driver/guarded_call.h).
//
// One structured exception scope covers the call of the body. The scope's
// filter is the constant EXCEPTION_EXECUTE_HANDLER (1), so __C_specific_handler
// unwinds every exception raised inside the body to .Lcaught, where RtlUnwindEx
// has left the exception code in eax: that code is the result.
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
        addq    $40, %rsp
        ret
        .seh_handler __C_specific_handler, @except
        .seh_handlerdata
        .long   1                       // one scope record
        .rva    .Lbegin
        .rva    .Lend
        .long   1                       // EXCEPTION_EXECUTE_HANDLER
        .rva    .Lcaught
        .text
        .seh_endproc
