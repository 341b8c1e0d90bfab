// The tests the root runs alone, one after the other.
#pragma once

void file_handling_test();
void low_speed_test();
void high_speed_test();
