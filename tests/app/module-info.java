// An application module that uses ruvek from the module path.
module com.example.app {
    requires ruvek;
}
