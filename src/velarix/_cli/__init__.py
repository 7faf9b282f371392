"""The `velarix` command line, one private module per command; `velarix.cli`
assembles the parser and is the public face."""
