// The named API as the module ruvek: its natives, loader and terminal inside, the ruvek package alone exported.
module ruvek {
    requires java.logging; // FINE records, for a user debugging a line
    exports ruvek;
}
