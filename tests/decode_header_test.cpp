#include <gtest/gtest.h>
#include "header/frame_info.hpp"
TEST(Dummy, Builds) { framelint::frame_info f = framelint::blank_frame_info(); EXPECT_EQ(framelint::decode_header(0xFFFB9064u, f), 1); EXPECT_EQ(f.frame_length, 417); }
