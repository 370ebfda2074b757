// Counts every allocation of the test program, so that a test can show a path makes none.
#pragma once

long AllocationCount();
