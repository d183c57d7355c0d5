; A silent installer that only copies the tree SOURCE into DESTINATION with
; CopyFiles; run-bench.sh builds one per sample tree with makensis -D...
Unicode true
Target amd64-unicode
Name "copytree"
OutFile "${OUTFILE}"
SilentInstall silent
RequestExecutionLevel user

Section
  SetOutPath "${DESTINATION}"
  CopyFiles /SILENT "${SOURCE}\*.*" "${DESTINATION}"
SectionEnd
