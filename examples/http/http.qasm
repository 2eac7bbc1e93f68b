; A loopback HTTP download. The URL comes from the command line's "-url"
; option; `scripts/run --demo` starts a small HTTP server on 127.0.0.1 and
; passes the URL of a text file it serves. DownloadFile fetches the file
; into a string, which is printed on the console and shown in the 320x120
; window. The run ends a second later.
;
; In script terms:
;   args, count = GetCommandLine()
;   If count = 0 Then ConsolePrint("Start me with -url <URL>") : End
;   body, size = DownloadFile(args[0].param)
;   ConsolePrint("Downloaded", size, "bytes:", body)
;   TextOut(16, 50, body)
;   Wait(1, #SECONDS)
.applet title "Quillmere download"
.applet versionstring "$VER: Download 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:120
.applet section 5 be32:0x302010
.line 1
GETGLOBAL 0, "getcommandline"
CALL 0, 1, 3
MOVE 10, 0              ; args
EQ 1, 1, #0             ; no option given?
JUMP nourl
.line 2
GETTABLE 11, 10, #0
GETTABLE 11, 11, "param"
GETGLOBAL 0, "downloadfile"
MOVE 1, 11
CALL 0, 2, 3
MOVE 12, 0              ; body
MOVE 13, 1              ; size
.line 3
GETGLOBAL 0, "consoleprint"
LOADCONST 1, "Downloaded"
MOVE 2, 13
LOADCONST 3, "bytes:"
MOVE 4, 12
CALL 0, 5, 1
.line 4
GETGLOBAL 0, "textout"
LOADNUM 1, 16
LOADNUM 2, 50
MOVE 3, 12
CALL 0, 4, 1
.line 5
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
RETURN 0, 1, 0
nourl:
GETGLOBAL 0, "consoleprint"
LOADCONST 1, "Start me with -url <URL>, for example -url http://127.0.0.1:8000/hello.txt"
CALL 0, 2, 1
RETURN 0, 1, 0
