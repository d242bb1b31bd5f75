// SPDX-License-Identifier: MIT
// Start-up alone: what the system takes to start and end a dynamically linked program.
int main(void)
{
    return 0;
}
