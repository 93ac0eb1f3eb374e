#pragma once

// Counts the allocations made through operator new in between.
void start_counting_allocations();
long stop_counting_allocations();
