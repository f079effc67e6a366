"""A Lua 5.4 subset defined with wuna (placeholder until the grammar lands)."""
import sys

if __name__ == "__main__":
    print(open(sys.argv[1]).read(), end="")
