#include "programmertraits.h"

#include "programmerstate.h"
#include "texts.h"

#include <array>

namespace vell::model {

const ProgrammerTraits &traitsOf(link::ProgrammerNumber n)
{
    // Built on first use, after the texts it copies.
    static const auto table = [] {
        using namespace texts;
        const OperatorMessage load1{kConnectProgrammer1, kIncorrectPortNumber};
        const OperatorMessage target1{kIncorrectPortNumber, kVellProgrammer};
        const OperatorMessage other2{connectProgrammerN(2), kIncorrectPortNumber};
        const OperatorMessage other3{connectProgrammerN(3), kIncorrectPortNumber};
        const OperatorMessage other4{connectProgrammerN(4), kIncorrectPortNumber};
        // Columns in the order of the fields: always in use, loss at the drain, numbered found
        // text, repeated AUSBR unknown, code 12, APTOK bar, APTOK board version, greeting on
        // the version label, program-target button, invalid port on a load, on program target.
        return std::array<ProgrammerTraits, link::kProgrammerCount>{{
            {true, true, false, true, true, true, true, true, false, load1, target1},
            {false, false, true, true, false, true, false, false, true, other2, other2},
            {false, false, true, false, false, false, false, false, false, other3, other3},
            {false, false, true, false, false, false, false, false, false, other4, other4},
        }};
    }();
    return table[n.index()];
}

} // namespace vell::model
