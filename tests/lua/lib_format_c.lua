-- string.format writes numbers as C's printf does
print(string.format("%#o|%#x|%#X|%#o", 8, 0, 0, 0))
print(("%.2a|%#a"):format(1.0, 1.0))
print(("[%.0d][%.0x]"):format(0, 0))
print(("[%5.3d][%-6x][%#08x][%+d][% d][%05d][%.3o][%#.3o]"):format(7, 255, 255, 5, 5, -42, 8, 8))
print(("[%a][%A][%.0a][%.1a][%.3a][%12a][%-12a|][%012a][%+a][% a]"):format(
  -0.0, 1.5, 1.5, 1.96875, 1/3, 2.5, 2.5, 2.5, 2.5, 2.5))
print(("[%.0a][%.0a][%.13a][%.15a]"):format(1.5, 2.5, 1/3, 1/3))
print(("[%a][%a][%.2a]"):format(1e-310, 2^-1074, 1e-310))
print(("%q|%q|%q"):format(0.5, -0.5, 1e100))
print(pcall(string.format, "%F", 1.0))
print(pcall(string.format, "%10s", "a\0b"))
print(("%s|"):format("a\0b") == "a\0b|")
print(("[%x][%X]"):format(-1, math.mininteger))
