"""with_hostname.py NAME PROGRAM [ARGS...]: runs PROGRAM under host name NAME.

Meant to run inside a fresh UTS namespace (unshare --uts), so that one rank
of a test run gets a processor name of its own. The hostname utility refuses
names with spaces; the system call does not.
"""
import os
import socket
import sys

socket.sethostname(sys.argv[1])
os.execv(sys.argv[2], sys.argv[2:])
