// Byte-stream readers the software-data decoder reads through.
#pragma once
