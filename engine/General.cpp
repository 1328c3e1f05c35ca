// Shared procedures of the program.
namespace General {}
