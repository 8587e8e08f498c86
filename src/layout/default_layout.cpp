// The layout used when neither a layout file is given nor "tarsel_cfg.json" exists.
// It is one line: runs of blanks stand where the line breaks of the file form would be.
// The "help_" array lacks a comma between its second and third elements; the reader accepts that.
#include "layout/layout.h"

namespace {

constexpr const char defaultLayout[] =
    "{"
    "    'pingpong': '0x01000000',"
    "    'base': '0x80000000',"
    "    'flows': ["
    "        {'name': 'SWHDR', 'base': '0xA0000000', 'size': 4096, 'format': 'h',"
    " 'rows@': 26, 'cols@': 27, 'batch@': 24, 'tag@': 25},"
    "        {'name': 'SWSUM', 'base': '0xA0010000', 'format': 'c16'},"
    "        {'name': 'SWGUARD', 'base': '0xA0110000', 'format': 'c16'},"
    "        {'name': 'F-HDR', 'base': '+0', 'size': 4096, 'format': 'u32',"
    " 'rows@': 26, 'cols@': 27, 'batch@': 24, 'tag@': 25},"
    "        {'name': 'F-GUARD', 'base': '+0x00801000', 'format': 'c16'},"
    "        {'name': 'F-SUM', 'base': '+0x00101000', 'format': 'c16'},"
    "        {'name': 'F-DC1DAZ', 'base': '+0x00001000', 'format': 'c16'},"
    "        {'name': 'F-DC1DEL', 'base': '+0x00201000', 'format': 'c16'},"
    "        {'name': 'F-DAZ', 'base': '0x80401000', 'format': 'c16'},"
    "        {'name': 'F-DEL', 'base': '0x80701000', 'format': 'c16'},"
    "        {'name': 'SOFT', 'base': '0xF0000000', 'size': '4M', 'format': 'SW', 'pingpong': 0},"
    "        {'name': 'SOFTDFE', 'base': '0xE0000000', 'size': '4M', 'format': 'SW', 'pingpong': 0},"
    "        {'name': 'VIDEO', 'base': '0xEF000000', 'format': 'video', 'pingpong': 0},"
    "        {'name': 'CTRLINK', 'base': '0x00000000', 'size': 16384, 'format': 'u32', 'pingpong': '0x00010000'},"
    "        {'name': 'EXTLINK', 'base': '0x10000000', 'size': 16384, 'format': 'u32', 'pingpong': '0x00010000'},"
    "        {'name': 'AESA', 'base': '0xD0040000', 'size': '8K', 'format': 'u32', 'pingpong': '0x8000'},"
    "        {'name': 'DET', 'base': '0x55000000', 'size': '16K', 'format': 'u32', 'pingpong': '0x4000'},"
    "        {'name': 'EXP', 'base': '0x58200000', 'size': '1K', 'format': 'u32', 'pingpong': '0x400'},"
    "        {'name': 'PC', 'base': '0x57000000', 'size': '8K', 'format': 'u32', 'pingpong': '0x020000'},"
    "        {'name': 'DISP', 'base': '0x56000000', 'size': '0x200', 'format': 'u32', 'pingpong': '0x0200'},"
    "        {'name': 'DISPHEADER', 'base': '0x56004000', 'size': '4k', 'format': 'H', 'pingpong': '0x1000',"
    " 'rows@': 26, 'cols@': 27, 'batch@': 24, 'tag@': 25},"
    "        {'name': 'TIMER', 'base': '0x44A10000', 'size': '8K', 'format': 'u32', 'pingpong': '0x02000'},"
    "        {'name': 'UNKNOW1', 'base': '0x70000000', 'size': '8K', 'format': 'u32', 'pingpong': '0x01000'}"
    "    ],"
    "    'help_': ["
    "        {'format': 'c16=complex fixed point 16+16, c32: complex float 32+32, f: float,"
    " i/u[32|16|8], H=header, S=struct'},"
    "        {'rows@': 'offset for reading expected number of rows (nrbin)'}"
    "        {'texfmt': 'modified parser to accept single and double quote'}"
    "    ]"
    "}";

}  // namespace

const char* defaultLayoutText() { return defaultLayout; }
