// What the floating-point check is checked against: built soft-float it must
// pass, built hard-float it must be caught. Neither the board's own e500 and SPE
// instructions nor a literal a `bl` jumps over (as in musl's _start) count.
double vx_fp_probe(double a, double b, float c, int i)
{
    return a * b + a / b - static_cast<double>(c) + static_cast<double>(i);
}

void vx_e500_probe()
{
    asm volatile(".machine push\n.machine e500\n"
                 "efsadd 3,4,5\nefdmul 3,4,5\nefscfsi 3,4\nevldd 3,8(4)\nevstdd 3,8(4)\n"
                 "evmergehi 3,4,5\nisel 3,4,5,2\nmbar\nmsync\n.machine pop\n"
                 "bl 1f\n.long 0xefffe1f8\n1:" ::
                     : "r3", "lr", "memory");
}
