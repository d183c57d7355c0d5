# ovik_icon_group_rc(<ico> <first-icon-id> <group-name> <output.rc>)
#
# Writes a resource script that defines one more RT_GROUP_ICON, <group-name>,
# made of the same images as the ICON statement that first loads <ico>. The
# images are stored once; the resource compiler numbers that statement's
# images from <first-icon-id> on (1 for the first ICON in the file).
function(ovik_icon_group_rc ico first_id group_name output)
  file(READ ${ico} hex HEX)
  # ICONDIR: reserved, type, count (16 bits each, little-endian).
  string(SUBSTRING "${hex}" 8 4 count_hex)
  string(SUBSTRING "${count_hex}" 2 2 high)
  string(SUBSTRING "${count_hex}" 0 2 low)
  math(EXPR count "0x${high}${low}")
  set(words "0, 1, ${count}")
  math(EXPR last "${count} - 1")
  foreach(index RANGE 0 ${last})
    # ICONDIRENTRY: the first 12 bytes match GRPICONDIRENTRY; the last 4 are
    # the image's file offset, which the group replaces by the image's id.
    math(EXPR start "(6 + ${index} * 16) * 2")
    string(SUBSTRING "${hex}" ${start} 24 entry)
    set(entry_words "")
    foreach(word_index RANGE 0 3)
      math(EXPR at "${word_index} * 4")
      string(SUBSTRING "${entry}" ${at} 2 lo)
      math(EXPR at "${at} + 2")
      string(SUBSTRING "${entry}" ${at} 2 hi)
      string(APPEND entry_words ", 0x${hi}${lo}")
    endforeach()
    string(SUBSTRING "${entry}" 16 8 size_le)
    string(SUBSTRING "${size_le}" 0 2 b0)
    string(SUBSTRING "${size_le}" 2 2 b1)
    string(SUBSTRING "${size_le}" 4 2 b2)
    string(SUBSTRING "${size_le}" 6 2 b3)
    math(EXPR id "${first_id} + ${index}")
    string(APPEND words "${entry_words}, 0x${b3}${b2}${b1}${b0}L, ${id}")
  endforeach()
  file(CONFIGURE OUTPUT ${output} CONTENT
"// Generated from ${ico}: a second icon group sharing the first one's images.
${group_name} 14
BEGIN
  ${words}
END
" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ico})
endfunction()
