#pragma once
// The socket layer's account of file descriptors. Every descriptor it opens
// is counted until closed; descriptors promised to a connection that is not
// yet made are set aside; what the rest of the program holds (files,
// exports, threads, windows) is counted from the system. New connections are
// taken only while they fit beside a reserve kept for that rest. Without
// room, connections that only wait to deliver to a peer that takes nothing
// are given up to make it (StalledDelivery); when they cannot make enough,
// a listening socket waits until there is room.
#include <QObject>
#include <QPointer>
#include <functional>

namespace tsy {

class DescriptorClaim;

namespace Descriptors {

// Kept free for the rest of the program: name lookups, timers, files, windows.
constexpr int kReserve = 64;

// Counts a descriptor just opened (a negative one is passed through).
int Opened(int fd);
// Closes a counted descriptor; a waiting listener may then go on.
void Close(int fd);

// The two descriptors of a new connection (its accepted socket and its
// outgoing one) beside the reserve: set aside when they fit, empty when not.
DescriptorClaim ClaimConnection();
// n descriptors beside the reserve, set aside, after giving up stalled
// deliveries when that makes them fit; empty when they do not fit.
DescriptorClaim SetAside(int n);
// Whether one more descriptor fits beside the reserve.
bool RoomForOne();

// A listening socket that found no room: `resume` is called once room comes
// back, as long as `listener` lives. Meanwhile what the rest of the program
// holds is counted again whenever the socket layer frees a descriptor and on
// a short timer, since files and windows close without telling us.
void WaitForRoom(QObject* listener, std::function<void()> resume);
// A listener that closes waits no more.
void StopWaiting(QObject* listener);
// The listener has taken every request its queue held.
void QueueTaken(QObject* listener);
// A spell of shortage runs from the first request that finds no room until
// a request next finds room for itself and a reserve's width more, once the
// requests that waited have all been taken; it has one entry at its start.
// The shortage handler makes it when the spell's first request waits, with
// the limit.
void SetShortageHandler(std::function<void(int limit)> handler);
// The give-up handler makes it instead when the spell's first request made
// room by giving stalled deliveries up, with how many (over false); and it
// is called at the spell's end when the spell gave any up, with how many in
// all (over true).
void SetGiveUpHandler(std::function<void(int limit, int givenUp, bool over)> handler);

// For tests: descriptors set aside right now, and listeners waiting.
int SetAsideCount();
int WaitingListenerCount();

} // namespace Descriptors

// Descriptors set aside for one use; what is left goes back when the claim
// is released or destroyed. Move-only.
class DescriptorClaim {
public:
    DescriptorClaim() = default;
    DescriptorClaim(DescriptorClaim&& other) noexcept : mCount(other.mCount) { other.mCount = 0; }
    DescriptorClaim& operator=(DescriptorClaim&& other) noexcept;
    DescriptorClaim(const DescriptorClaim&) = delete;
    DescriptorClaim& operator=(const DescriptorClaim&) = delete;
    ~DescriptorClaim() { Release(); }

    int Count() const { return mCount; }
    explicit operator bool() const { return mCount > 0; }
    // One of them is now an open descriptor, counted by Opened.
    void TakeOne();
    // Moves n of them into a claim of their own (fewer when fewer are left).
    DescriptorClaim Split(int n);
    // Takes over what `other` holds.
    void Absorb(DescriptorClaim&& other);
    // Gives back what is left.
    void Release();

private:
    friend DescriptorClaim Descriptors::SetAside(int n);
    friend DescriptorClaim Descriptors::ClaimConnection();
    explicit DescriptorClaim(int count) : mCount(count) {}
    int mCount = 0;
};

} // namespace tsy
