/* Source annotations: accepted and ignored, so driver code can carry them. */
#pragma once
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_z_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, m)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _Must_inspect_result_
#define _Success_(e)
#define _When_(e, a)
#define _IRQL_requires_(l)
#define _IRQL_requires_max_(l)
#define _IRQL_requires_min_(l)
#define _IRQL_raises_(l)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, p)
#define _IRQL_restores_global_(k, p)
#define _IRQL_requires_same_
#define _Requires_lock_held_(l)
#define _Requires_lock_not_held_(l)
#define _Acquires_lock_(l)
#define _Releases_lock_(l)
#define _Dispatch_type_(t)
#define _Function_class_(c)
#define _Use_decl_annotations_
#define _Analysis_assume_(e)
#define _Kernel_float_used_
#define _At_(t, a)
#define _Pre_satisfies_(e)
#define _Post_satisfies_(e)
#define _Ret_maybenull_
#define _Post_writable_byte_size_(n)
#define __drv_aliasesMem
#define __drv_allocatesMem(k)
#define __drv_freesMem(k)
#define __drv_when(c, a)
#define __drv_dispatchType(t)
