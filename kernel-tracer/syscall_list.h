/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The body of format.c's syscall_names[] where the kernel generates no
 * unistd_64.h (arm64 before 6.11): asm-generic's unistd.h lists each call
 * as __SYSCALL(number, sys_name), and is made to be included again for
 * such tables, as the kernel's own sys_call_table is. Each name is given
 * without its "sys_".
 */
#undef __SYSCALL
#define __SYSCALL(nr, sym) [nr] = #sym + 4,
#include <uapi/asm/unistd.h>
#undef __SYSCALL
