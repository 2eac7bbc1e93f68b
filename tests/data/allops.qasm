.source "@main.qm"
.vararg
.line 3
.local t start done
.function inner
  .linedefined 4
  .params 2
  .upvalue up
  .local a 0 3
  .line 5
  GETUPVAL 2 0
  ADD 2 2 #1.5
  EQ 1 2 "s"
  JUMP skip
  CONCAT 2 0 1
skip: RETURN 2 2
.end
.function other
  .source "@lib.qm"
  LOADCONST 0 nil
  ITERPREP 0 test
loop: MOVE 5 4
test: ITERLOOP 0 1
  JUMP loop
  RETURN 0 0 1
.end
start: NEWTABLE 0 11 2
.line 7
CLOSURE 1 inner
MOVE 0 0
CLOSURE 2 other
SETTABLE 0 "k" #-0.0
LOADNUM 3 1
LOADNUM 4 10
LOADNUM 5 1
l: FORLOOP 3 l
GETGLOBAL 6 "print"
CALL 6 1 0
SETLISTTOP 0 0
SELF 6 0 "m"
CALL 6 2 0
RETURN 6 0
JUMP gosub done
done: RETURN 0 2
