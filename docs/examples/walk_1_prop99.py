"""
Proposition 99
==============
"""
import quintara
print(quintara.__version__)
