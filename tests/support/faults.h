// Real processor faults and signals for the tests of the abort and report paths.
#pragma once

// Each really performs the faulting operation on the calling thread.
void cause_segmentation_fault();  // a store to a page that allows no access
void cause_bus_error();           // a read past the end of a mapped empty file
void cause_divide_error();        // an integer division by zero
void cause_illegal_instruction();
void cause_abort();               // the C library's abort
void cause_stack_overflow();      // recursion until the thread's stack ends
