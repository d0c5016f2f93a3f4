// Reads a start-up script with Tcl's own parser, command by command, and
// checks each top-level command against the server's interpreter.
#include "control/script_check.h"

#include <tcl.h>

#include <algorithm>
#include <set>
#include <string_view>

#include "control/tcl_commands.h"
#include "feed/site.h"
#include "server/config.h"

namespace {

// One top-level command: its line and its literal words (an empty string
// for a word with substitutions).
struct ScriptCommand {
    int line = 0;
    std::vector<std::string> words;
};

std::string LiteralWord(const Tcl_Token& token)
{
    if (token.type != TCL_TOKEN_SIMPLE_WORD)
        return {};
    const Tcl_Token& text = (&token)[1];
    return std::string(text.start, static_cast<size_t>(text.size));
}

// The script's top-level commands; false (with `problem` set) when the
// parser stops at a command that does not end.
bool SplitCommands(Tcl_Interp* interp, const std::string& text, std::vector<ScriptCommand>* commands,
                   std::string* problem)
{
    const char* start = text.c_str();
    const char* end = start + text.size();
    for (const char* next = start; next < end;) {
        Tcl_Parse parse;
        if (Tcl_ParseCommand(interp, next, static_cast<int>(end - next), 0, &parse) != TCL_OK) {
            *problem = "line " + std::to_string(std::count(start, next, '\n') + 1) + ": " + Tcl_GetStringResult(interp);
            return false;
        }
        if (parse.numWords > 0) {
            ScriptCommand command;
            command.line = static_cast<int>(std::count(start, parse.commandStart, '\n')) + 1;
            const Tcl_Token* token = parse.tokenPtr;
            for (int i = 0; i < parse.numWords; ++i, token += token->numComponents + 1)
                command.words.push_back(LiteralWord(*token));
            commands->push_back(std::move(command));
        }
        next = parse.commandStart + parse.commandSize;
        Tcl_FreeParse(&parse);
    }
    return true;
}

// "unknown command "X"", with the nearest server command when one is near.
std::string UnknownCommand(Tcl_Interp* interp, const std::string& name)
{
    Tcl_Obj* list = nullptr;
    if (Tcl_Eval(interp, "info commands") == TCL_OK)
        list = Tcl_GetObjResult(interp);
    int count = 0;
    Tcl_Obj** items = nullptr;
    std::vector<std::string_view> names;
    if (list != nullptr && Tcl_ListObjGetElements(interp, list, &count, &items) == TCL_OK)
        for (int i = 0; i < count; ++i)
            names.emplace_back(Tcl_GetString(items[i]));
    const size_t nearest = NearestName(name, names);
    return "unknown command \"" + name + "\"" +
           (nearest < names.size() ? "; did you mean " + std::string(names[nearest]) + "?" : std::string());
}

void CheckCommands(Tcl_Interp* interp, const std::string& path, const std::vector<ScriptCommand>& commands,
                   std::vector<std::string>* problems)
{
    std::set<std::string> procedures;
    for (const ScriptCommand& command : commands)
        if (command.words.size() >= 2 && command.words[0] == "proc")
            procedures.insert(command.words[1]);
    bool accepts = false;
    for (const ScriptCommand& command : commands) {
        const std::string& name = command.words[0];
        const std::string where = path + ":" + std::to_string(command.line) + ": ";
        accepts = accepts || name == "AcceptConnections";
        Tcl_CmdInfo info;
        if (!name.empty() && procedures.count(name) == 0 && Tcl_GetCommandInfo(interp, name.c_str(), &info) == 0)
            problems->push_back(where + UnknownCommand(interp, name));
        if (name == "SetSite" && command.words.size() >= 3 && !command.words[2].empty())
            if (std::string unknown = SiteUnknownParameter(command.words[2].c_str()); !unknown.empty())
                problems->push_back(where + "SetSite: " + unknown);
    }
    if (!accepts)
        problems->push_back(path + ": never calls AcceptConnections: the server would not listen");
}

}  // namespace

std::vector<std::string> CheckStartupScript(const std::string& path, const std::string& text)
{
    std::vector<std::string> problems;
    Tcl_Interp* interp = Tcl_CreateInterp();
    RegisterServerCommands(interp);
    std::vector<ScriptCommand> commands;
    std::string problem;
    if (SplitCommands(interp, text, &commands, &problem))
        CheckCommands(interp, path, commands, &problems);
    else
        problems.push_back(path + ": " + problem);
    Tcl_DeleteInterp(interp);
    return problems;
}
