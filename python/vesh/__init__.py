"""vesh: records the execution of a running Python program as a trace."""
