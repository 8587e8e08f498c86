// The radar display window and its AVI capture.
#pragma once

#include <cstdint>
#include <string>

void display_set_caption(const char* caption);
void display_set_avi_name(const std::string& name);
void display_save_on();
void display_set_frame_rate(int32_t rate);
int display_start(int answer, int flags, int colour);
void display_frame(const uint8_t* frame);
void display_delay(uint32_t milliseconds);
void display_finish();
