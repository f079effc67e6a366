# The Python part of pargo's face, run once when the module is imported.
