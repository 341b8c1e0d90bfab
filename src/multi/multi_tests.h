// The tests every worker runs at the same time, and the root's reports of
// them. Each worker side sends one result set per measurement.
#pragma once

void multi_file_handling_worker();
void multi_file_handling_root();
void multi_low_speed_worker();
void multi_low_speed_root();
void multi_high_speed_worker();
void multi_high_speed_root();
