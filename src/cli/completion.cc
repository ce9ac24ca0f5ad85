// The bash completion script, made from the command table: the options first, each option's
// flags after it, the image's block names where a BLOCKNAME goes, file names everywhere else
// (kept whole when they hold spaces).
#include <string>

#include "cli/command_table.h"
#include "cli/commands.h"

namespace blkswap {

namespace {

// Where a command's BLOCKNAMEs stand among its operands: the first place, and every `every`
// places after it (0: once); `more` when another operand may stand at the later places too.
struct NamePlaces {
  size_t first = 0;
  size_t every = 0;
  bool more = false;
  bool any = false;
};

NamePlaces name_places(const Command& command) {
  NamePlaces places;
  size_t group = 0, after_group = 0;
  for (size_t k = 0; k < command.operands.size(); ++k) {
    const Operand& operand = command.operands[k];
    if (operand.name.empty()) break;
    if (operand.repeats) ++group;
    if (!operand.repeats && group > 0) ++after_group;
    if (!operand.block_name) continue;
    places.first = k;
    places.any = true;
  }
  if (places.any && command.operands[places.first].repeats) places.every = group;
  places.more = after_group > 0;
  return places;
}

}  // namespace

void print_bash_completion(std::ostream& out) {
  out << "# bash completion for blkswap, made from its command table when it was built.\n"
         "_blkswap_names() {  # the names of image $1's blocks that start with $2, as shell words\n"
         "  local name file=${1/#\\~/$HOME}\n"
         "  [[ -f $file ]] || return\n"
         "  while IFS= read -r name; do\n"
         "    [[ $name == \"$2\"* ]] && printf -v name %q \"$name\" && COMPREPLY+=(\"$name\")\n"
         "  done < <(blkswap -- \"$file\" 2>/dev/null | sed -n 's/^id:0x[0-9a-f]* name://p')\n"
         "}\n"
         "_blkswap() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} command=\"\" flags=\"\" word i ended=0\n"
         "  local -a operands=()\n"
         "  local first=-1 every=0 more=0 files=1\n"
         "  COMPREPLY=()\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    word=${COMP_WORDS[i]}\n"
         "    if ((i == 1)) && [[ $word == -?* ]]; then\n"
         "      command=$word\n"
         "      [[ $word == -- ]] && ended=1\n"
         "    elif ((!ended)) && [[ $word == -- ]]; then\n"
         "      ended=1\n"
         "    elif ((ended)) || [[ $word != -?* ]]; then\n"
         "      operands+=(\"$word\")\n"
         "    elif [[ $word == --index || $word == --slot ]]; then\n"
         "      first=-2  # a BLOCKNAME is a place then, not a name\n"
         "    fi\n"
         "  done\n"
         "  if ((COMP_CWORD == 1)) && [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"";
  const char* space = "";
  for (const Command& command : command_table()) {
    if (command.kind == CommandKind::positional) continue;
    out << space << command.option;
    if (!command.alias.empty()) out << ' ' << command.alias;
    space = " ";
  }
  out << "\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case $command in\n";
  for (const Command& command : command_table()) {
    const NamePlaces places = name_places(command);
    if (command.kind == CommandKind::positional) {
      if (!places.any) continue;
      out << "    \"\" | --)";
    } else if (command.flags != 0 || places.any) {
      out << "    " << command.option << ")";
    } else {
      continue;
    }
    out << " flags=\"";
    space = "";
    for (const FlagRow& flag : flag_rows()) {
      if ((command.flags & flag.flag) == 0) continue;
      out << space << flag.name;
      space = " ";
    }
    out << "\"";
    if (places.any) {
      out << "; ((first == -2)) || first=" << places.first << " every=" << places.every
          << " more=" << (places.more ? 1 : 0);
    }
    out << " ;;\n";
  }
  out << "  esac\n"
         "  if ((!ended)) && [[ $cur == -?* && -n $flags ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$flags\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  local at=${#operands[@]}\n"
         "  if ((first >= 0 && at >= first)) && { ((at == first)) ||\n"
         "      ((every > 0 && (at - first) % every == 0)); }; then\n"
         "    _blkswap_names \"${operands[0]}\" \"$cur\"\n"
         "    ((at > first && more)) || files=0\n"
         "  fi\n"
         "  if ((files)); then\n"
         "    compopt -o filenames 2>/dev/null\n"
         "    while IFS= read -r word; do COMPREPLY+=(\"$word\"); done < <(compgen -f -- "
         "\"$cur\")\n"
         "  fi\n"
         "}\n"
         "complete -F _blkswap blkswap\n";
}

}  // namespace blkswap
